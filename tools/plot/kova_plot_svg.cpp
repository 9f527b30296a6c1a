// A group's picture: its heading and the legend of the BETA panels, a panel
// per k in two columns, then the full-width panel of y, the fitted values and
// the forecasts, and a line with the forecast errors where they are known.
#include <cstdio>

#include "kova_plot_draw.h"

namespace kova::plot {
namespace {

constexpr double kMargin = 16;
constexpr double kPanelWidth = 420, kPanelHeight = 220, kGap = 12;
constexpr double kYPanelHeight = 270;
constexpr double kInnovationPanelHeight = 200;
constexpr double kWidth = 2 * kMargin + 2 * kPanelWidth + kGap;
constexpr double kHeader = 70;  // heading, subheading and legend

constexpr Style kBeta{"#2f5d8a", ""};
constexpr Style kPooled{"#b5523b", "6 3"};
constexpr Style kObserved{"#2b2b2b", ""};
constexpr Style kYfs{"#3f8f5f", ""};
constexpr Style kPredictor{"#c98a1b", "2 2"};
constexpr Style kPooledForecast{"#7a5a9e", "6 3"};
constexpr Style kPrediction{"#2f5d8a", ""};
constexpr Style kPredictionBand{"#7f9fbf", "3 3"};
constexpr Style kReference{"#999999", "4 4"};

// The periods shown and the shaded forecast periods, shared by all panels.
void periods(const GroupResults& g, Panel& p) {
  if (!g.times.empty()) {
    p.times = &g.times;
    p.xTitle = "time";
  }
  p.xLo = g.firstPeriod - 0.5;
  p.xHi = g.lastPeriod + 0.5;
  if (g.firstForecast > 0) p.bandFrom = g.firstForecast - 0.5, p.bandTo = p.xHi;
  for (const GapMark& gap : g.gaps) p.gapsAt.push_back(gap.afterPeriod + 0.5);
}

Panel betaPanel(const GroupResults& g, const BetaSeries& b, std::size_t i) {
  Panel p;
  p.box = {kMargin + (i % 2) * (kPanelWidth + kGap), kHeader + (i / 2) * (kPanelHeight + kGap),
           kPanelWidth, kPanelHeight};
  p.kind = "beta";
  p.k = b.k;
  std::string variable = b.variable.empty() ? "x_" + std::to_string(b.k) : b.variable;
  p.title = "BETA_" + std::to_string(b.k) + "(t): " + variable;
  p.xTitle = "period";
  p.yTitle = "coefficient of " + variable;
  periods(g, p);
  p.lines.push_back({"beta", "", &b.beta, kBeta});
  p.lines.push_back({"pooled_beta", "", &b.pooled, kPooled});
  p.lines.push_back({"beta_lower", "", &b.lower, kPredictionBand});
  p.lines.push_back({"beta_upper", "", &b.upper, kPredictionBand});
  return p;
}

Panel yPanel(const GroupResults& g, const Series& observed, double top) {
  Panel p;
  p.box = {kMargin, top, kWidth - 2 * kMargin, kYPanelHeight};
  p.kind = "y";
  std::string y = g.yName.empty() ? "y" : g.yName;
  p.title = g.innovations ? y + ": observed, one-step-ahead prediction with its 95% band, forecasts"
                          : y + ": observed, fitted x'BETA and forecasts";
  p.xTitle = "period";
  p.yTitle = y;
  p.legend = true;
  periods(g, p);
  int dots = g.firstForecast > 0 ? g.firstForecast : INT_MAX;
  p.lines = {{"y", "observed", &observed, kObserved, dots},
             {"fitted", "fitted", &g.fitted, kBeta},
             {"pooled_fitted", "pooled fitted", &g.pooledFitted, kPooled},
             {"forecast_yfs", "forecast (yfs)", &g.yfs, kYfs, 0},
             {"forecast_predictor", "forecast (predictor)", &g.predictor, kPredictor, 0},
             {"pooled_forecast", "pooled forecast", &g.pooledForecast, kPooledForecast, 0}};
  if (g.innovations) {
    p.lines[1] = {"prediction", "one-step-ahead prediction", &g.prediction, kPrediction};
    p.lines.push_back({"prediction_lower", "95% band", &g.lower, kPredictionBand});
    p.lines.push_back({"prediction_upper", "95% band", &g.upper, kPredictionBand});
  }
  return p;
}

Panel innovationPanel(const GroupResults& g, double top) {
  Panel p;
  p.box = {kMargin, top, kWidth - 2 * kMargin, kInnovationPanelHeight};
  p.kind = "innovations";
  p.title = "standardised one-step-ahead prediction errors (innovations)";
  p.xTitle = "period";
  p.yTitle = "standardised innovation";
  periods(g, p);
  p.lines = {{"standardised", "", &g.standardised, kObserved},
             {"z_lower", "", &g.zLower, kReference},
             {"z_upper", "", &g.zUpper, kReference}};
  return p;
}

std::string heading(const GroupResults& g) {
  std::string out = "<text class=\"title\" x=\"" + num(kMargin) +
                    "\" y=\"24\" font-size=\"15\" font-weight=\"bold\">" +
                    escapeXml(fitText(groupHeading(g), kWidth - 2 * kMargin, 15 * 1.08)) + "</text>\n";
  std::string sub = g.betas.empty() ? "no BETA records"
                                    : "BETA_k(t) of pass " + std::to_string(g.lastPass) +
                                          " (the group's last pass)";
  if (g.firstForecast > 0) sub += "; forecast periods shaded";
  if (!g.gaps.empty()) sub += "; dashed red lines: gaps in the times";
  return out + "<text x=\"" + num(kMargin) + "\" y=\"42\" fill=\"#555\">" + escapeXml(sub) +
         "</text>\n";
}

std::string betaLegend(const GroupResults& g) {
  std::vector<Line> lines;
  for (const BetaSeries& b : g.betas) {
    lines.push_back({"beta", "BETA_k(t), pass " + std::to_string(g.lastPass), &b.beta, kBeta});
    lines.push_back({"pooled_beta", "pooled BETA_k(t)", &b.pooled, kPooled});
    lines.push_back({"beta_lower", "95% band of BETA_k(t)", &b.lower, kPredictionBand});
  }
  std::vector<LegendEntry> entries;
  for (const LegendEntry& e : legendEntries(lines, g.firstForecast > 0 && !g.betas.empty())) {
    bool seen = false;
    for (const LegendEntry& s : entries) seen = seen || s.label == e.label;
    if (!seen) entries.push_back(e);
  }
  double height = 0;
  return drawLegend(kMargin + 16, 60, kWidth - 2 * kMargin, entries, height);
}

std::string errorLine(const GroupResults& g, double y) {
  std::string text;
  for (const ForecastError& e : g.errors) {
    if (e.compared == 0 || !std::isfinite(e.rmse)) continue;
    char b[64];
    std::snprintf(b, sizeof b, "%.4g", e.rmse);
    text += (text.empty() ? "" : ", ") + e.forecast + " " + b + " (" + std::to_string(e.compared) +
            (e.compared == 1 ? " period)" : " periods)");
  }
  if (text.empty()) return "";
  return "<text class=\"errors\" x=\"" + num(kMargin + 16) + "\" y=\"" + num(y) + "\" fill=\"#555\">" +
         escapeXml(fitText("Forecast RMSE: " + text, kWidth - 2 * kMargin, kFontSize)) + "</text>\n";
}

}  // namespace

std::string groupSvg(const GroupResults& g) {
  Series observed = g.y;
  observed.insert(g.forecastY.begin(), g.forecastY.end());
  std::size_t rows = (g.betas.size() + 1) / 2;
  double yTop = kHeader + rows * (kPanelHeight + kGap);
  const double innovationTop = yTop + kYPanelHeight + kGap;
  const double yEnd = g.innovations ? innovationTop + kInnovationPanelHeight : yTop + kYPanelHeight;
  std::string errors = errorLine(g, yEnd + 14);
  double height = yEnd + (errors.empty() ? 0 : 20) + kMargin;

  // The warning box goes under the heading and moves the rest down.
  double boxHeight = 0;
  std::string box = warningBox(g, kMargin, 50, kWidth - 2 * kMargin, boxHeight);
  const double shift = box.empty() ? 0 : boxHeight + 8;
  height += shift;

  std::string body = betaLegend(g);
  for (std::size_t i = 0; i < g.betas.size(); ++i) body += drawPanel(betaPanel(g, g.betas[i], i));
  body += drawPanel(yPanel(g, observed, yTop));
  if (g.innovations) body += drawPanel(innovationPanel(g, innovationTop));
  body += errors;
  if (shift > 0) body = "<g transform=\"translate(0," + num(shift) + ")\">\n" + body + "</g>\n";
  body = heading(g) + box + body;
  return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
         "<svg xmlns=\"http://www.w3.org/2000/svg\" width=\"" + num(kWidth) + "\" height=\"" +
         num(height) + "\" viewBox=\"0 0 " + num(kWidth) + " " + num(height) +
         "\" font-family=\"Helvetica, Arial, sans-serif\" font-size=\"" + num(kFontSize) +
         "\" fill=\"#333\">\n<title>" + escapeXml(groupHeading(g)) + "</title>\n" +
         "<rect width=\"100%\" height=\"100%\" fill=\"#fff\"/>\n" + body + "</svg>\n";
}

}  // namespace kova::plot
