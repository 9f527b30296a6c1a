// The page that shows every group's picture, and the names they go by.
#include <cstdio>

#include "kova_plot.h"

namespace kova::plot {

std::string escapeXml(const std::string& text) {
  std::string out;
  for (char c : text) {
    switch (c) {
      case '&': out += "&amp;"; break;
      case '<': out += "&lt;"; break;
      case '>': out += "&gt;"; break;
      case '"': out += "&quot;"; break;
      case '\'': out += "&apos;"; break;
      default: out += c;
    }
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

std::string indexHtml(const std::string& runName, const std::vector<GroupResults>& groups) {
  std::string title = escapeXml("kova results: " + runName);
  std::string out =
      "<!DOCTYPE html>\n<html lang=\"en\">\n<head>\n<meta charset=\"utf-8\">\n<title>" + title +
      "</title>\n<style>\n"
      "body { font-family: Helvetica, Arial, sans-serif; color: #222; max-width: 920px; margin: 24px auto; }\n"
      "h1 { font-size: 20px; } h2 { font-size: 16px; margin: 28px 0 8px; }\n"
      "nav a { margin-right: 10px; white-space: nowrap; }\n"
      "img { display: block; max-width: 100%; height: auto; border: 1px solid #e4e4e4; }\n"
      "</style>\n</head>\n<body>\n<h1>" + title + "</h1>\n<nav>\n";
  for (const GroupResults& g : groups)
    out += "<a href=\"#group-" + std::to_string(g.id) + "\">" + escapeXml(groupHeading(g)) + "</a>\n";
  out += "</nav>\n";
  for (const GroupResults& g : groups) {
    std::string heading = escapeXml(groupHeading(g));
    out += "<section id=\"group-" + std::to_string(g.id) + "\">\n<h2>" + heading + "</h2>\n<img src=\"" +
           svgFileName(g.id) + "\" alt=\"" + heading + "\">\n</section>\n";
  }
  return out + "</body>\n</html>\n";
}

}  // namespace kova::plot
