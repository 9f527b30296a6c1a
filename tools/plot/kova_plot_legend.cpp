// Legends, and the width of texts: the picture is laid out without a font
// at hand, so widths are estimated from the count of characters.
#include <cstdio>

#include "kova_plot_draw.h"

namespace kova::plot {
namespace {

// Average advance of a sans-serif character, in ems (digits are 0.56,
// small letters mostly less).
constexpr double kCharWidth = 0.55;
constexpr double kSample = 20;    // length of a legend's sample line
constexpr double kEntryGap = 14;  // between entries
constexpr double kRowHeight = 15;

bool continuationByte(char c) { return (static_cast<unsigned char>(c) & 0xC0) == 0x80; }

std::string sample(double x, double y, const LegendEntry& e) {
  std::string out;
  if (e.band)
    return "<rect x=\"" + num(x + 4) + "\" y=\"" + num(y - 9) + "\" width=\"12\" height=\"11\" fill=\"" +
           kBandColour + "\" stroke=\"#c8ccd4\"/>";
  out += "<path d=\"M" + num(x) + "," + num(y - 4) + " h" + num(kSample) +
         "\" fill=\"none\" stroke=\"" + e.style.colour + "\" stroke-width=\"1.6\"";
  if (*e.style.dash) out += std::string(" stroke-dasharray=\"") + e.style.dash + "\"";
  out += "/>";
  if (e.dot)
    out += "<circle cx=\"" + num(x + kSample / 2) + "\" cy=\"" + num(y - 4) + "\" r=\"2.6\" fill=\"" +
           e.style.colour + "\"/>";
  return out;
}

}  // namespace

bool hasValue(const Series& s) {
  for (const auto& [period, value] : s)
    if (std::isfinite(value)) return true;
  return false;
}

double textWidth(const std::string& text, double fontSize) {
  int chars = 0;
  for (char c : text) chars += continuationByte(c) ? 0 : 1;
  return chars * kCharWidth * fontSize;
}

std::string fitText(const std::string& text, double width, double fontSize) {
  if (textWidth(text, fontSize) <= width) return text;
  // The longest run of whole characters from the front that leaves room for
  // the ellipsis, found in one pass: a table may make the text very long.
  int chars = 0;
  std::size_t end = 0;
  for (; end < text.size(); ++end) {
    if (continuationByte(text[end])) continue;
    if ((chars + 2) * kCharWidth * fontSize > width) break;
    ++chars;
  }
  return text.substr(0, end) + "\xE2\x80\xA6";
}

std::string num(double v) {
  char b[32];
  std::snprintf(b, sizeof b, "%.2f", v);
  return b;
}

std::string drawLegend(double x, double y, double maxWidth, const std::vector<LegendEntry>& entries,
                       double& height) {
  std::string out = "<g class=\"legend\">";
  double at = x;
  height = entries.empty() ? 0 : kRowHeight;
  for (const LegendEntry& e : entries) {
    double width = kSample + 5 + textWidth(e.label, kFontSize);
    if (at > x && at + width > x + maxWidth) {
      at = x;
      y += kRowHeight;
      height += kRowHeight;
    }
    out += sample(at, y, e);
    out += "<text x=\"" + num(at + kSample + 5) + "\" y=\"" + num(y) + "\">" + escapeXml(e.label) +
           "</text>";
    at += width + kEntryGap;
  }
  return out + "</g>\n";
}

}  // namespace kova::plot
