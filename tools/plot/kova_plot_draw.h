#pragma once
// Drawing pieces of a group's picture: panels with axes and series, legends,
// and the width that a text takes.
#include <climits>
#include <cmath>
#include <map>
#include <string>
#include <vector>

#include "kova_plot.h"

namespace kova::plot {

constexpr double kFontSize = 11;
constexpr const char* kBandColour = "#eceff4";

struct Style {
  const char* colour;
  const char* dash;  // stroke-dasharray; "" for a solid line
};

// A series drawn in a panel: one path named `series` (its data-series), with
// a dot at every period from `dotsFrom` on.
struct Line {
  std::string series;
  std::string label;  // in the legend
  const Series* values = nullptr;
  Style style{"#333", ""};
  int dotsFrom = INT_MAX;
};

struct Box {
  double x = 0, y = 0, width = 0, height = 0;
};

struct Panel {
  Box box;
  std::string kind;  // data-panel: beta or y
  int k = 0;         // of a beta panel
  std::string title, xTitle, yTitle;
  double xLo = 0, xHi = 1;             // the periods shown
  double bandFrom = NAN, bandTo = NAN;  // shaded forecast periods; NaN: none
  std::vector<Line> lines;
  bool legend = false;  // legend rows under the title
  // The labels of the periods (times); a period without one is labelled
  // with its number.
  const std::map<int, std::string>* times = nullptr;
  std::vector<double> gapsAt;  // between two periods whose times leave some out
};

std::string drawPanel(const Panel& panel);

struct LegendEntry {
  std::string label;
  Style style;
  bool dot = false;   // a dot on its sample line
  bool band = false;  // a shaded square instead of a line
};

// Entries left to right from (x, y), the text's baseline; a row that would
// pass maxWidth goes on below. Returns the SVG; `height` gets the rows' height.
std::string drawLegend(double x, double y, double maxWidth, const std::vector<LegendEntry>& entries,
                       double& height);

// An entry for each line with a value, and the shading when `band`.
std::vector<LegendEntry> legendEntries(const std::vector<Line>& lines, bool band);

bool hasValue(const Series& s);
// About the width of a text in a sans-serif font of this size.
double textWidth(const std::string& text, double fontSize);
// The text, cut with an ellipsis where it would pass `width`.
std::string fitText(const std::string& text, double width, double fontSize);
std::string num(double v);  // a coordinate, 2 decimals

}  // namespace kova::plot
