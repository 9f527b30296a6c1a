// One panel: a plot area with the forecast periods shaded, grid, axes with
// round ticks and their labels, axis titles, and one path per series.
#include <algorithm>

#include "kova_plot_draw.h"

namespace kova::plot {
namespace {

constexpr double kTitleRow = 26;  // from the panel's top to the plot area
constexpr double kBottom = 34;     // x tick labels and the x axis title
constexpr double kRight = 10;
constexpr double kYTitle = 16;     // room of the rotated y axis title

// The plot area and the mapping of periods and values into it.
struct Frame {
  double left, top, right, bottom;
  Axis x, y;
  double px(double period) const { return left + (period - x.lo) / (x.hi - x.lo) * (right - left); }
  double py(double v) const { return bottom - (v - y.lo) / (y.hi - y.lo) * (bottom - top); }
};

Axis valueAxis(const Panel& p) {
  double lo = INFINITY, hi = -INFINITY;
  for (const Line& l : p.lines)
    for (const auto& [period, v] : *l.values)
      if (std::isfinite(v)) lo = std::min(lo, v), hi = std::max(hi, v);
  return niceAxis(lo, hi, 5, false);
}

// `legend`: the height of the legend rows under the title.
Frame frameOf(const Panel& p, double legend) {
  Frame f;
  f.y = valueAxis(p);
  double labels = 0;
  for (double t : f.y.ticks) labels = std::max(labels, textWidth(tickLabel(t, f.y), kFontSize));
  f.left = p.box.x + kYTitle + labels + 8;
  f.right = p.box.x + p.box.width - kRight;
  f.top = p.box.y + kTitleRow + legend;
  f.bottom = p.box.y + p.box.height - kBottom;
  int xTicks = std::max(2, static_cast<int>((f.right - f.left) / 60));
  f.x = niceAxis(p.xLo, p.xHi, xTicks, true);
  return f;
}

std::string grid(const Panel& p, const Frame& f) {
  std::string out;
  if (std::isfinite(p.bandFrom)) {
    double a = std::max(f.left, f.px(p.bandFrom)), b = std::min(f.right, f.px(p.bandTo));
    out += "<rect class=\"forecast-band\" x=\"" + num(a) + "\" y=\"" + num(f.top) + "\" width=\"" +
           num(b - a) + "\" height=\"" + num(f.bottom - f.top) + "\" fill=\"" + kBandColour + "\"/>\n";
  }
  std::string lines;
  for (double t : f.y.ticks) lines += "M" + num(f.left) + "," + num(f.py(t)) + " H" + num(f.right) + " ";
  out += "<path class=\"grid\" d=\"" + lines + "\" fill=\"none\" stroke=\"#e2e2e2\" stroke-width=\"1\"/>\n";
  for (double at : p.gapsAt) {
    if (at <= f.x.lo || at >= f.x.hi) continue;
    out += "<path class=\"gap\" d=\"M" + num(f.px(at)) + "," + num(f.top) + " V" +
           num(f.bottom + 4) +
           "\" fill=\"none\" stroke=\"#c0392b\" stroke-width=\"1.2\" "
           "stroke-dasharray=\"4 3\"/>\n";
    out += "<text class=\"gap-label\" x=\"" + num(f.px(at) + 3) + "\" y=\"" + num(f.top + 10) +
           "\" font-size=\"9\" fill=\"#c0392b\">gap</text>\n";
  }
  if (f.y.lo < 0 && f.y.hi > 0)
    out += "<path class=\"zero\" d=\"M" + num(f.left) + "," + num(f.py(0)) + " H" + num(f.right) +
           "\" fill=\"none\" stroke=\"#b4b4b4\" stroke-width=\"1\"/>\n";
  return out;
}

// A period's label: its time when the run has them, else its number.
std::string periodLabel(const Panel& p, const Frame& f, double t) {
  if (p.times != nullptr) {
    auto it = p.times->find(static_cast<int>(std::lround(t)));
    if (it != p.times->end()) return escapeXml(it->second);
  }
  return tickLabel(t, f.x);
}

std::string axes(const Panel& p, const Frame& f) {
  std::string marks = "M" + num(f.left) + "," + num(f.top) + " V" + num(f.bottom) + " H" + num(f.right);
  for (double t : f.x.ticks) marks += " M" + num(f.px(t)) + "," + num(f.bottom) + " v4";
  for (double t : f.y.ticks) marks += " M" + num(f.left) + "," + num(f.py(t)) + " h-4";
  std::string out = "<path class=\"axis\" d=\"" + marks + "\" fill=\"none\" stroke=\"#777\"/>\n";
  for (double t : f.x.ticks)
    out += "<text class=\"xtick\" x=\"" + num(f.px(t)) + "\" y=\"" + num(f.bottom + 15) +
           "\" text-anchor=\"middle\">" + periodLabel(p, f, t) + "</text>\n";
  for (double t : f.y.ticks)
    out += "<text class=\"ytick\" x=\"" + num(f.left - 6) + "\" y=\"" + num(f.py(t)) +
           "\" dy=\"0.35em\" text-anchor=\"end\">" + tickLabel(t, f.y) + "</text>\n";
  return out;
}

std::string titles(const Panel& p, const Frame& f) {
  double midY = (f.top + f.bottom) / 2;
  std::string out = "<text class=\"panel-title\" x=\"" + num(p.box.x + kYTitle) + "\" y=\"" +
                    num(p.box.y + 14) + "\" font-weight=\"bold\">" +
                    escapeXml(fitText(p.title, p.box.width - kYTitle, kFontSize * 1.08)) + "</text>\n";
  out += "<text class=\"axis-title\" x=\"" + num((f.left + f.right) / 2) + "\" y=\"" +
         num(f.bottom + 29) + "\" text-anchor=\"middle\" fill=\"#555\">" + escapeXml(p.xTitle) +
         "</text>\n";
  out += "<text class=\"axis-title\" transform=\"translate(" + num(p.box.x + 10) + "," + num(midY) +
         ") rotate(-90)\" text-anchor=\"middle\" fill=\"#555\">" +
         escapeXml(fitText(p.yTitle, f.bottom - f.top, kFontSize)) + "</text>\n";
  return out;
}

// The series' path: a point per period with a finite value; the line
// breaks (a new M) after a period without one.
std::string series(const Panel& p, const Frame& f, const Line& l) {
  std::string d, dots;
  bool broken = true;
  for (const auto& [period, v] : *l.values) {
    if (!std::isfinite(v)) {
      broken = true;
      continue;
    }
    d += (d.empty() ? "M" : broken ? " M" : " L") + num(f.px(period)) + "," + num(f.py(v));
    broken = false;
    if (period >= l.dotsFrom)
      dots += "<circle class=\"marker\" data-series=\"" + l.series + "\" cx=\"" + num(f.px(period)) +
              "\" cy=\"" + num(f.py(v)) + "\" r=\"2.6\" fill=\"" + l.style.colour + "\"/>\n";
  }
  if (d.empty()) return "";
  std::string k = p.kind == "beta" ? " data-k=\"" + std::to_string(p.k) + "\"" : "";
  std::string dash = *l.style.dash ? std::string(" stroke-dasharray=\"") + l.style.dash + "\"" : "";
  return "<path class=\"series\" data-series=\"" + l.series + "\"" + k + " d=\"" + d +
         "\" fill=\"none\" stroke=\"" + l.style.colour + "\" stroke-width=\"1.6\"" + dash +
         " stroke-linejoin=\"round\"/>\n" + dots;
}

}  // namespace

std::vector<LegendEntry> legendEntries(const std::vector<Line>& lines, bool band) {
  std::vector<LegendEntry> entries;
  for (const Line& l : lines) {
    if (!hasValue(*l.values)) continue;
    // Lines that share a label (the two edges of a band) share its entry.
    bool seen = false;
    for (const LegendEntry& e : entries) seen = seen || e.label == l.label;
    if (!seen) entries.push_back({l.label, l.style, l.dotsFrom != INT_MAX, false});
  }
  if (band) entries.push_back({"forecast periods", {kBandColour, ""}, false, true});
  return entries;
}

std::string drawPanel(const Panel& p) {
  std::string legend;
  double legendHeight = 0;
  if (p.legend)
    legend = drawLegend(p.box.x + kYTitle, p.box.y + 32, p.box.width - kYTitle - kRight,
                        legendEntries(p.lines, std::isfinite(p.bandFrom)), legendHeight);
  Frame f = frameOf(p, legendHeight);
  std::string out = "<g class=\"panel\" data-panel=\"" + p.kind + "\"";
  if (p.kind == "beta") out += " data-k=\"" + std::to_string(p.k) + "\"";
  out += ">\n" + grid(p, f) + axes(p, f) + titles(p, f) + legend;
  for (const Line& l : p.lines) out += series(p, f, l);
  if (std::none_of(p.lines.begin(), p.lines.end(), [](const Line& l) { return hasValue(*l.values); }))
    out += "<text x=\"" + num((f.left + f.right) / 2) + "\" y=\"" + num((f.top + f.bottom) / 2) +
           "\" text-anchor=\"middle\" fill=\"#888\">no values</text>\n";
  return out + "</g>\n";
}

}  // namespace kova::plot
