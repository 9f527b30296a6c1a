// The page that shows every group's picture, and the names they go by.
#include <cstdio>
#include <set>

#include "kova_plot.h"

namespace kova::plot {

namespace {

constexpr const char* kReplacement = "\xEF\xBF\xBD";  // U+FFFD

// The length of the UTF-8 sequence that starts at text[i], 0 when it is not
// a well-formed one (overlong forms, surrogates and values beyond U+10FFFF
// included).
std::size_t sequenceLength(const std::string& text, std::size_t i) {
  auto byte = [&](std::size_t at) { return static_cast<unsigned char>(text[at]); };
  const unsigned char c = byte(i);
  std::size_t n = c < 0x80             ? 1
                  : (c & 0xE0) == 0xC0 ? 2
                  : (c & 0xF0) == 0xE0 ? 3
                  : (c & 0xF8) == 0xF0 ? 4
                                       : 0;
  if (n == 0 || i + n > text.size()) return 0;
  for (std::size_t k = 1; k < n; ++k)
    if ((byte(i + k) & 0xC0) != 0x80) return 0;
  if (n == 2 && c < 0xC2) return 0;
  if (n == 3) {
    unsigned cp = ((c & 0x0Fu) << 12) | ((byte(i + 1) & 0x3Fu) << 6) | (byte(i + 2) & 0x3Fu);
    if (cp < 0x800 || (cp >= 0xD800 && cp <= 0xDFFF) || cp == 0xFFFE || cp == 0xFFFF) return 0;
  }
  if (n == 4) {
    unsigned cp =
        ((c & 0x07u) << 18) | ((byte(i + 1) & 0x3Fu) << 12) | ((byte(i + 2) & 0x3Fu) << 6);
    if (cp < 0x10000 || cp > 0x10FFFF) return 0;
  }
  return n;
}

}  // namespace

// Markup characters become entities; control characters (C0 but tab, C1,
// DEL) and bytes that are not well-formed UTF-8 become U+FFFD, so that the
// text is valid in any XML or HTML document whatever a table holds.
std::string escapeXml(const std::string& text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size();) {
    const char c = text[i];
    const std::size_t n = sequenceLength(text, i);
    if (n == 0) {
      out += kReplacement;
      ++i;
      continue;
    }
    const unsigned char u = static_cast<unsigned char>(c);
    const bool c1 = n == 2 && u == 0xC2 && static_cast<unsigned char>(text[i + 1]) < 0xA0;
    if ((u < 0x20 && c != '\t') || u == 0x7F || c1) {
      out += kReplacement;
    } else if (c == '&') {
      out += "&amp;";
    } else if (c == '<') {
      out += "&lt;";
    } else if (c == '>') {
      out += "&gt;";
    } else if (c == '"') {
      out += "&quot;";
    } else if (c == '\'') {
      out += "&apos;";
    } else {
      out.append(text, i, n);
    }
    i += n;
  }
  return out;
}

std::string groupHeading(const GroupResults& g) {
  std::string heading = "Group " + std::to_string(g.id);
  return g.name.empty() ? heading : heading + ": " + g.name;
}

std::string svgFileName(int id) {
  char b[32];
  std::snprintf(b, sizeof b, "group_%03d.svg", id);
  return b;
}

namespace {

// The overview: a row per group with its name, method, warnings and links.
std::string overview(const std::vector<GroupResults>& groups) {
  std::string out =
      "<table "
      "class=\"overview\">\n<thead><tr><th>group</th><th>name</"
      "th><th>method</th>"
      "<th>warnings</th><th>picture</th></tr></thead>\n<tbody>\n";
  std::vector<std::string> seen;
  std::set<std::string> listed;
  for (const GroupResults& g : groups) {
    const std::vector<std::string> kinds = warningKinds(g);
    std::string warnings;
    for (const std::string& k : kinds) {
      warnings += std::string(warnings.empty() ? "" : ", ") + "<span title=\"" +
                  escapeXml(warningMeaning(k)) + "\">" + escapeXml(k) + "</span>";
      if (listed.insert(k).second) seen.push_back(k);
    }
    const std::string id = std::to_string(g.id);
    out += std::string("<tr") + (kinds.empty() ? "" : " class=\"warned\"") +
           "><td><a href=\"#group-" + id + "\">" + id + "</a></td><td>" + escapeXml(g.name) +
           "</td><td>" + (g.method.empty() ? "not known" : g.method) +
           "</td><td class=\"warnings\">" + (warnings.empty() ? "none" : warnings) +
           "</td><td><a href=\"" + svgFileName(g.id) + "\">" + svgFileName(g.id) +
           "</a></td></tr>\n";
  }
  out += "</tbody>\n</table>\n";
  if (seen.empty()) return out;
  out += "<dl class=\"kinds\">\n";
  for (const std::string& k : seen)
    out += "<dt>" + escapeXml(k) + "</dt><dd>" + escapeXml(warningMeaning(k)) + "</dd>\n";
  return out + "</dl>\n";
}

}  // namespace

// The page is well-formed XML as well as HTML (void elements closed), so
// that it can be checked with an XML parser.
std::string indexHtml(const std::string& runName, const std::vector<GroupResults>& groups) {
  std::string title = escapeXml("kova results: " + runName);
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta "
      "charset=\"utf-8\"/>\n<title>" +
      title +
      "</title>\n<style>\n"
      "body { font-family: Helvetica, Arial, sans-serif; color: #222; "
      "max-width: 920px; margin: 24px auto; }\n"
      "h1 { font-size: 20px; } h2 { font-size: 16px; margin: 28px 0 8px; }\n"
      "nav a { margin-right: 10px; white-space: nowrap; }\n"
      "img { display: block; max-width: 100%; height: auto; border: 1px solid "
      "#e4e4e4; }\n"
      "table.overview { border-collapse: collapse; font-size: 14px; margin: "
      "8px 0 12px; }\n"
      "table.overview th, table.overview td { border: 1px solid #ddd; padding: "
      "3px 8px; text-align: left; }\n"
      "tr.warned td.warnings { background: #fff4e0; color: #a04000; }\n"
      "dl.kinds { font-size: 13px; color: #444; } dl.kinds dt { font-weight: "
      "bold; float: left; margin-right: 6px; }\n"
      "</style>\n</head>\n<body>\n<h1>" +
      title + "</h1>\n" + overview(groups) + "<nav>\n";
  for (const GroupResults& g : groups)
    out += "<a href=\"#group-" + std::to_string(g.id) + "\">" + escapeXml(groupHeading(g)) + "</a>\n";
  out += "</nav>\n";
  for (const GroupResults& g : groups) {
    std::string heading = escapeXml(groupHeading(g));
    out += "<section id=\"group-" + std::to_string(g.id) + "\">\n<h2>" + heading +
           "</h2>\n<img src=\"" + svgFileName(g.id) + "\" alt=\"" + heading + "\"/>\n</section>\n";
  }
  return out + "</body>\n</html>\n";
}

}  // namespace kova::plot
