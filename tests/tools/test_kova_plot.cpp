// kova_plot as its users meet it: result tables in, SVG pictures out. Each
// picture is parsed with expat; every series path is mapped back through the
// axes that its panel prints (two tick labels and their positions) and must
// give the periods and the values of the tables within a pixel.
#include <gtest/gtest.h>

#include <expat.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <regex>
#include <set>
#include <sstream>
#include <sys/wait.h>
#include <vector>

#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

using Result = testing::ToolResult;

Result plot(const std::string& dir) {
  return testing::runTool(std::string("'") + KOVA_PLOT + "' '" + dir + "'");
}

// ---- a run's tables, with the series each picture must show --------------

using Values = std::map<int, double>;  // period -> value; NaN: none

struct Tables {
  std::string beta = "group,pass,period,forecast,k,variable,beta,pooled_beta\n";
  std::string fitted = "group,period,variable,y,fitted,pooled_fitted\n";
  std::string forecasts = "group,period,variable,y,forecast_yfs,forecast_predictor,pooled_forecast\n";
  std::string groups = "id,group,rows,forecast_rows\n";
  // group -> series key ("beta/2", "y", "fitted", ...) -> values
  std::map<int, std::map<std::string, Values>> expected;
};

std::string text(double v) {
  if (std::isnan(v)) return "";
  char b[40];
  std::snprintf(b, sizeof b, "%.17g", v);
  return std::isinf(v) ? (v > 0 ? "Inf" : "-Inf") : b;
}

// Group 1: T = 8 estimation and 2 forecast periods, three passes (the earlier
// ones 10 off), a pooled phase, a NaN and an Inf, a BETA of size 1e-6 (tick
// labels with an exponent), a forecast y given only in the first forecast
// period. Group 2: no forecasts, no pooled values, a constant BETA, y near
// 2.5e7.
Tables drawTables() {
  Tables r;
  const std::string vars[2] = {"\"a, <b> & c\"", "x2"};
  auto betaOf = [](int g, int k, int t) {
    if (g == 2 && k == 1) return 0.5;
    return k == 2 ? 3e-6 + 1e-7 * std::sin(t + g) : 1 + std::sin(0.7 * t) * g;
  };
  for (int g = 1; g <= 2; ++g) {
    int T = g == 1 ? 8 : 6, TF = g == 1 ? 2 : 0;
    for (int pass = 0; pass <= 2; ++pass)
      for (int t = 1; t <= T + TF; ++t)
        for (int k = 1; k <= 2; ++k) {
          double b = betaOf(g, k, t) + 10 * (2 - pass);
          if (g == 1 && k == 1 && t == 3) b = NAN;
          if (g == 1 && k == 1 && t == 9) b = INFINITY;
          double pooled = g == 1 && pass == 2 ? b + 0.25 : NAN;
          if (g == 1 && t == 5) pooled = NAN;
          r.beta += std::to_string(g) + "," + std::to_string(pass) + "," + std::to_string(t) + "," +
                    (t > T ? "1," : "0,") + std::to_string(k) + "," + vars[k - 1] + "," + text(b) +
                    "," + text(pooled) + "\n";
          if (pass == 2) {
            r.expected[g]["beta/" + std::to_string(k)][t] = b;
            r.expected[g]["pooled_beta/" + std::to_string(k)][t] = pooled;
          }
        }
    for (int t = 1; t <= T + TF; ++t) {
      double y = g == 1 ? 100 + 30 * std::cos(t) : 2.5e7 + 1e5 * t;
      std::string head = std::to_string(g) + "," + std::to_string(t) + ",invest,";
      auto& e = r.expected[g];
      if (t <= T) {
        double fit = y + 3, pooled = g == 1 ? y - 4 : NAN;
        r.fitted += head + text(y) + "," + text(fit) + "," + text(pooled) + "\n";
        e["y"][t] = y, e["fitted"][t] = fit, e["pooled_fitted"][t] = pooled;
      } else {
        if (t == T + 2) y = NAN;
        double yfs = 90 + t, predictor = 95 + t, pooled = 85 + t;
        r.forecasts += head + text(y) + "," + text(yfs) + "," + text(predictor) + "," +
                       text(pooled) + "\n";
        e["y"][t] = y, e["forecast_yfs"][t] = yfs, e["forecast_predictor"][t] = predictor,
        e["pooled_forecast"][t] = pooled;
      }
    }
  }
  r.groups += "1,\"O'Brien & <Sons>\",10,2\n2,plain,6,0\n";
  return r;
}

void writeTables(const Tables& r, const fs::path& dir) {
  fs::create_directories(dir);
  writeFile(dir / "KOVA_BETA.csv", r.beta);
  writeFile(dir / "KOVA_FITTED.csv", r.fitted);
  writeFile(dir / "KOVA_FORECASTS.csv", r.forecasts);
  writeFile(dir / "GROUPS.csv", r.groups);
}

// ---- the SVG as expat reads it ------------------------------------------

struct Tick {
  double position, value;
};

struct PanelSeen {
  std::string kind, k;
  std::vector<Tick> x, y;
  std::map<std::string, std::string> paths;  // series key -> d
};

struct Svg {
  std::vector<PanelSeen> panels;
  std::string title;
  // parser state
  std::string textClass, textPosition, text;
  bool inTitle = false;
};

std::string attribute(const char** atts, const char* name) {
  for (int i = 0; atts[i]; i += 2)
    if (std::string(atts[i]) == name) return atts[i + 1];
  return "";
}

void onStart(void* data, const char* name, const char** atts) {
  auto* s = static_cast<Svg*>(data);
  std::string element = name, cls = attribute(atts, "class");
  s->inTitle = element == "title";
  if (element == "g" && cls == "panel")
    s->panels.push_back({attribute(atts, "data-panel"), attribute(atts, "data-k"), {}, {}, {}});
  if (element == "path" && cls == "series") {
    std::string k = attribute(atts, "data-k");
    s->panels.back().paths[attribute(atts, "data-series") + (k.empty() ? "" : "/" + k)] =
        attribute(atts, "d");
  }
  if (element == "text" && (cls == "xtick" || cls == "ytick")) {
    s->textClass = cls;
    s->textPosition = attribute(atts, cls == "xtick" ? "x" : "y");
    s->text.clear();
  }
}

void onEnd(void* data, const char*) {
  auto* s = static_cast<Svg*>(data);
  s->inTitle = false;
  if (s->textClass.empty()) return;
  Tick t{std::stod(s->textPosition), std::strtod(s->text.c_str(), nullptr)};
  (s->textClass == "xtick" ? s->panels.back().x : s->panels.back().y).push_back(t);
  s->textClass.clear();
}

void onText(void* data, const char* chars, int length) {
  auto* s = static_cast<Svg*>(data);
  if (!s->textClass.empty()) s->text.append(chars, length);
  if (s->inTitle) s->title.append(chars, length);
}

Svg parseSvg(const std::string& xml) {
  Svg svg;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &svg);
  XML_SetElementHandler(parser, onStart, onEnd);
  XML_SetCharacterDataHandler(parser, onText);
  if (XML_Parse(parser, xml.data(), static_cast<int>(xml.size()), 1) == XML_STATUS_ERROR)
    ADD_FAILURE() << "not well-formed XML, line " << XML_GetCurrentLineNumber(parser) << ": "
                  << XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  return svg;
}

// The points of a path's M/L commands.
std::vector<std::pair<double, double>> points(const std::string& d) {
  std::vector<std::pair<double, double>> out;
  std::istringstream in(d);
  for (std::string token; in >> token;) {
    EXPECT_TRUE(token[0] == 'M' || token[0] == 'L') << d;
    double x = 0, y = 0;
    EXPECT_EQ(std::sscanf(token.c_str() + 1, "%lf,%lf", &x, &y), 2) << token;
    out.push_back({x, y});
  }
  return out;
}

// The inverse of an axis, from its first and last tick: position -> value,
// and the size of one pixel in values.
struct Inverse {
  Tick a, b;
  double operator()(double position) const {
    return a.value + (position - a.position) * (b.value - a.value) / (b.position - a.position);
  }
  double pixel() const { return std::abs((b.value - a.value) / (b.position - a.position)); }
};

Inverse inverseOf(const std::vector<Tick>& ticks) {
  EXPECT_GE(ticks.size(), 2u);
  if (ticks.size() < 2) return {{0, 0}, {1, 1}};
  return {ticks.front(), ticks.back()};
}

void checkPanel(const PanelSeen& panel, const std::map<std::string, Values>& expected, int group) {
  Inverse period = inverseOf(panel.x), value = inverseOf(panel.y);
  for (const auto& [key, path] : panel.paths) {
    SCOPED_TRACE("group " + std::to_string(group) + ", series " + key);
    ASSERT_TRUE(expected.count(key));
    const Values& want = expected.at(key);
    std::size_t finite = 0;
    for (const auto& [t, v] : want) finite += std::isfinite(v) ? 1 : 0;
    auto pts = points(path);
    EXPECT_EQ(pts.size(), finite);
    for (const auto& [px, py] : pts) {
      double t = period(px);
      int whole = static_cast<int>(std::lround(t));
      EXPECT_NEAR(t, whole, period.pixel());
      ASSERT_TRUE(want.count(whole)) << "period " << t;
      EXPECT_NEAR(value(py), want.at(whole), value.pixel()) << "period " << whole;
    }
  }
}

TEST(KovaPlot, EverySeriesMapsBackToItsTableWithinAPixel) {
  testing::TempDir dir;
  Tables run = drawTables();
  writeTables(run, "run");
  fs::create_directories("run/plots");
  writeFile("run/plots/group_001.svg", "stale");
  Result r = plot("run");
  ASSERT_EQ(r.status, 0) << r.err;

  for (const auto& [group, expected] : run.expected) {
    char name[32];
    std::snprintf(name, sizeof name, "group_%03d.svg", group);
    SCOPED_TRACE(name);
    Svg svg = parseSvg(readFile(fs::path("run/plots") / name));
    EXPECT_EQ(svg.title, group == 1 ? "Group 1: O'Brien & <Sons>" : "Group 2: plain");
    ASSERT_EQ(svg.panels.size(), 3u);  // two BETA panels and the y panel
    std::size_t paths = 0;
    for (const PanelSeen& p : svg.panels) {
      checkPanel(p, expected, group);
      paths += p.paths.size();
    }
    // Every series with a value is drawn: the pooled ones only in group 1,
    // the forecasts only where there are forecast records.
    std::size_t drawn = 0;
    for (const auto& [key, values] : expected)
      for (const auto& [t, v] : values)
        if (std::isfinite(v)) {
          ++drawn;
          break;
        }
    EXPECT_EQ(paths, drawn);
    EXPECT_EQ(paths, group == 1 ? 10u : 4u);
  }
  std::string index = readFile("run/plots/index.html");
  EXPECT_NE(index.find("<h2>Group 1: O&apos;Brien &amp; &lt;Sons&gt;</h2>"), std::string::npos);
  EXPECT_NE(index.find("src=\"group_002.svg\""), std::string::npos);
  EXPECT_FALSE(fs::exists("run/plots/group_003.svg"));
}

// With KOVA_INNOVATIONS.csv the y panel shows y - v with y - v -+ 1.96 sd
// instead of the fitted values, and a panel of the standardised innovations
// with the lines at -+1.96 follows; with a std_error column in KOVA_BETA.csv
// each BETA panel gets its 95% band. Every series maps back to the tables.
TEST(KovaPlot, InnovationsReplaceTheFittedLineAndGetTheirPanel) {
  testing::TempDir dir;
  Tables run = drawTables();
  std::string innovations = "group,pass,period,innovation,variance,standardised\n";
  for (auto& [group, e] : run.expected) {
    const int T = group == 1 ? 8 : 6;
    e.erase("fitted");
    for (int t = 1; t <= T; ++t) {
      const double y = e["y"][t];
      const double v = (group == 1 ? 2.0 : 3e4) * std::sin(1.3 * t);
      const double var = t == 2 ? 0.0 : (group == 1 ? 4.0 : 1e8) * (1.0 + 0.1 * t);
      const double z = var > 0.0 ? v / std::sqrt(var) : NAN;
      innovations += std::to_string(group) + ",2," + std::to_string(t) + "," + text(v) + "," +
                     text(var) + "," + text(z) + "\n";
      e["prediction"][t] = y - v;
      e["prediction_lower"][t] = y - v - 1.96 * std::sqrt(var);
      e["prediction_upper"][t] = y - v + 1.96 * std::sqrt(var);
      e["standardised"][t] = z;
      e["z_lower"][t] = -1.96;
      e["z_upper"][t] = 1.96;
    }
  }
  // A std_error column: BETA -+ band_quantile std_error as the band of each BETA
  // panel (estimation periods only; the forecast rows leave it empty).
  {
    std::istringstream in(run.beta);
    std::string line, out;
    std::getline(in, line);
    out = line + ",std_error,band_quantile\n";
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::string field;
      bool quoted = false;
      for (char ch : line) {
        if (ch == '"') quoted = !quoted;
        if (ch == ',' && !quoted) {
          f.push_back(field);
          field.clear();
        } else {
          field += ch;
        }
      }
      f.push_back(field);
      const int g = std::stoi(f[0]), pass = std::stoi(f[1]), t = std::stoi(f[2]),
                k = std::stoi(f[4]);
      const bool forecast = f[3] == "1";
      const double se = 0.25 * k + 0.01 * t;
      // The band's multiple: the run's where given (group 1 gives none: the
      // normal's 1.96).
      const double q = g == 1 ? 1.96 : 2.0 + 0.1 * g;
      out += line + "," + (forecast ? std::string() : text(se)) + "," +
             (g == 1 ? std::string() : text(q)) + "\n";
      if (pass == 2) {
        const double b = run.expected[g]["beta/" + std::to_string(k)][t];
        run.expected[g]["beta_lower/" + std::to_string(k)][t] = forecast ? NAN : b - q * se;
        run.expected[g]["beta_upper/" + std::to_string(k)][t] = forecast ? NAN : b + q * se;
      }
    }
    run.beta = out;
  }
  writeTables(run, "run");
  writeFile("run/KOVA_INNOVATIONS.csv", innovations);
  Result r = plot("run");
  ASSERT_EQ(r.status, 0) << r.err;
  for (const auto& [group, expected] : run.expected) {
    char name[32];
    std::snprintf(name, sizeof name, "group_%03d.svg", group);
    SCOPED_TRACE(name);
    const std::string xml = readFile(fs::path("run/plots") / name);
    Svg svg = parseSvg(xml);
    ASSERT_EQ(svg.panels.size(), 4u);  // two BETA panels, y, the innovations
    EXPECT_EQ(svg.panels[3].kind, "innovations");
    std::set<std::string> seen;
    for (const PanelSeen& p : svg.panels) {
      checkPanel(p, expected, group);
      for (const auto& [key, path] : p.paths) seen.insert(key);
    }
    for (const char* key : {"prediction", "prediction_lower", "prediction_upper", "standardised",
                            "z_lower", "z_upper", "beta_lower/1", "beta_upper/2"})
      EXPECT_TRUE(seen.count(key)) << key;
    EXPECT_FALSE(seen.count("fitted"));
    // One legend entry for the two edges of the band.
    std::size_t band = 0;
    for (std::size_t at = xml.find(">95% band<"); at != std::string::npos;
         at = xml.find(">95% band<", at + 1))
      ++band;
    EXPECT_EQ(band, 1u);
  }
}

TEST(KovaPlot, BadInputNamesFileLineAndColumnAndWritesNothing) {
  testing::TempDir dir;
  struct Case {
    std::string file, from, to;  // first `from` in the file becomes `to`
    std::string message;         // expected in the message
  };
  const std::vector<Case> cases = {
      {"KOVA_BETA.csv", "\n1,2,4,0,2,x2,", "\n1,2,4,0,2,x2\n",
       "KOVA_BETA.csv, line 49: the line ends after 6 fields; column 'beta'"},
      {"KOVA_FITTED.csv", "\n2,3,invest,2", "\n2,3,invest,x2",
       "KOVA_FITTED.csv, line 12, column 'y': 'x25300000' is not a number"},
      {"KOVA_FORECASTS.csv", ",forecast_predictor,", ",predictor,",
       "KOVA_FORECASTS.csv, line 1: no column 'forecast_predictor'"},
      {"KOVA_BETA.csv", "\n1,0,2,0,1,", "\n1,0,2,0,1.5,",
       "KOVA_BETA.csv, line 4, column 'k': '1.5' is not a whole number"},
      {"KOVA_FITTED.csv", "\n1,2,invest,", "\n1,2,invest,\"12\n",
       "KOVA_FITTED.csv, line 3: a quoted field is not closed"},
      {"GROUPS.csv", "\n2,plain", "\nII,plain", "GROUPS.csv, line 3, column 'id': 'II'"},
      {"KOVA_FORECASTS.csv", "", "", "KOVA_FORECASTS.csv: no such file"},
      {"", "", "", "nowhere: no such directory"},
  };
  Tables run = drawTables();
  for (const Case& c : cases) {
    SCOPED_TRACE(c.message);
    fs::remove_all("run");
    writeTables(run, "run");
    fs::create_directories("run/plots");
    writeFile("run/plots/index.html", "earlier");
    std::string target = c.file.empty() ? "nowhere" : "run";
    if (!c.file.empty() && c.from.empty()) fs::remove(fs::path("run") / c.file);
    if (!c.from.empty()) {
      std::string t = readFile(fs::path("run") / c.file);
      std::size_t at = t.find(c.from);
      ASSERT_NE(at, std::string::npos);
      writeFile(fs::path("run") / c.file, t.replace(at, c.from.size(), c.to));
    }
    Result r = plot(target);
    EXPECT_EQ(r.status, 2);
    EXPECT_NE(r.err.find(c.message), std::string::npos) << r.err;
    EXPECT_EQ(std::count(r.err.begin(), r.err.end(), '\n'), 1) << r.err;
    EXPECT_EQ(readFile("run/plots/index.html"), "earlier");
    EXPECT_EQ(std::distance(fs::directory_iterator("run/plots"), fs::directory_iterator()), 1);
  }
}

// Found by the fuzz run: a forecast-error table of 13,000 rows made a line
// of RMSEs half a megabyte long, which the cut to the picture's width took
// minutes over (a character at a time, the whole text measured each time).
TEST(KovaPlot, AVeryLongErrorLineIsCutQuickly) {
  testing::TempDir dir;
  writeTables(drawTables(), "run");
  std::string errors = "group,forecast,compared,rmse,mape\n";
  for (int i = 0; i < 13000; ++i) errors += "1,pooled,2,9.9063454252106347,4.03599754\n";
  writeFile("run/KOVA_FORECAST_ERRORS.csv", errors);
  const auto start = std::chrono::steady_clock::now();
  Result r = plot("run");
  const double seconds =
      std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
  ASSERT_EQ(r.status, 0) << r.err;
  EXPECT_LT(seconds, 20.0);
  const std::string svg = readFile("run/plots/group_001.svg");
  const std::size_t line = svg.find("Forecast RMSE: pooled 9.906 (2 periods), pooled");
  ASSERT_NE(line, std::string::npos);
  const std::size_t end = svg.find("</text>", line);
  EXPECT_EQ(svg.substr(end - 3, 3), "\xE2\x80\xA6");
  EXPECT_LT(end - line, 200u);
}

// With kova_prepare's PERIODS.csv the period axes carry the times: every
// x tick of group 1 is the time of its period, and a group without times
// keeps the period numbers.
TEST(KovaPlot, PeriodAxesCarryTheTimesOfPeriodsCsv) {
  testing::TempDir dir;
  Tables run = drawTables();
  writeTables(run, "run");
  std::string periods = "id,period,time\n";
  for (int t = 1; t <= 12; ++t) periods += "1," + std::to_string(t) + ",\"Q" + std::to_string(t) + ", 2020\"\n";
  writeFile("run/PERIODS.csv", periods);
  Result r = plot("run");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::regex tick("class=\"xtick\"[^>]*>([^<]*)</text>");
  auto labels = [&](const char* file) {
    std::vector<std::string> out;
    const std::string svg = readFile(fs::path("run/plots") / file);
    for (std::sregex_iterator it(svg.begin(), svg.end(), tick), end; it != end; ++it)
      out.push_back((*it)[1]);
    return out;
  };
  const std::vector<std::string> first = labels("group_001.svg");
  ASSERT_FALSE(first.empty());
  for (const std::string& l : first) EXPECT_TRUE(std::regex_match(l, std::regex("Q[0-9]+, 2020"))) << l;
  for (const std::string& l : labels("group_002.svg"))
    EXPECT_TRUE(std::regex_match(l, std::regex("[0-9]+"))) << l;
  EXPECT_NE(readFile("run/plots/group_001.svg").find(">time</text>"), std::string::npos);
}

// ---- index.html as expat reads it ---------------------------------------

struct Page {
  std::vector<std::vector<std::string>> rows;  // the overview table's cells
  std::vector<std::string> links, images, ids;
  std::string title;
  // parser state
  bool inBody = false, inCell = false, inTitle = false;
};

void onPageStart(void* data, const char* name, const char** atts) {
  auto* p = static_cast<Page*>(data);
  const std::string element = name;
  if (element == "tbody") p->inBody = true;
  if (p->inBody && element == "tr") p->rows.emplace_back();
  if (p->inBody && element == "td") {
    p->inCell = true;
    p->rows.back().emplace_back();
  }
  if (element == "a") p->links.push_back(attribute(atts, "href"));
  if (element == "img") p->images.push_back(attribute(atts, "src"));
  if (!attribute(atts, "id").empty()) p->ids.push_back(attribute(atts, "id"));
  p->inTitle = element == "title";
}

void onPageEnd(void* data, const char* name) {
  auto* p = static_cast<Page*>(data);
  const std::string element = name;
  if (element == "tbody") p->inBody = false;
  if (element == "td") p->inCell = false;
  p->inTitle = false;
}

void onPageText(void* data, const char* chars, int length) {
  auto* p = static_cast<Page*>(data);
  if (p->inCell) p->rows.back().back().append(chars, length);
  if (p->inTitle) p->title.append(chars, length);
}

Page parsePage(const std::string& html) {
  Page page;
  XML_Parser parser = XML_ParserCreate("UTF-8");
  XML_SetUserData(parser, &page);
  XML_SetElementHandler(parser, onPageStart, onPageEnd);
  XML_SetCharacterDataHandler(parser, onPageText);
  if (XML_Parse(parser, html.data(), static_cast<int>(html.size()), 1) == XML_STATUS_ERROR)
    ADD_FAILURE() << "index.html is not well-formed, line " << XML_GetCurrentLineNumber(parser)
                  << ": " << XML_ErrorString(XML_GetErrorCode(parser));
  XML_ParserFree(parser);
  return page;
}

// Every link of the page goes to a section of it or to a file beside it,
// and every image is a file beside it.
void checkLinks(const Page& page, const fs::path& dir) {
  for (const std::string& link : page.links) {
    if (link.rfind("#", 0) == 0) {
      EXPECT_NE(std::find(page.ids.begin(), page.ids.end(), link.substr(1)), page.ids.end())
          << link;
    } else {
      EXPECT_TRUE(fs::is_regular_file(dir / link)) << link;
    }
  }
  for (const std::string& image : page.images)
    EXPECT_TRUE(fs::is_regular_file(dir / image)) << image;
}

// A group with warnings gets a box that names each kind once, with its
// passes and values and what it means (a kind the tool does not know by
// its name); a group without gets none. The overview table gives each
// group its name, method (ML where the estimates have a LOGLIK row) and
// warnings, and its links resolve. The series still map back to the tables.
TEST(KovaPlot, WarningsGetABoxOnThePictureAndARowInTheOverview) {
  testing::TempDir dir;
  Tables run = drawTables();
  writeTables(run, "run");
  writeFile("run/KOVA_WARNINGS.csv",
            "group,pass,kind,value\n1,2,sigma2_grew,1.7e+18\n1,2,phi_at_bound,0.99500001\n"
            "1,2,sigma2_grew,12.5\n1,2,pi_rank_deficient,2\n1,2,some_new_finding,\n"
            "7,2,delta_singular,1\n");
  writeFile("run/KOVA_ESTIMATES.csv",
            "group,pass,matrix,row,column,value,std_error,t_ratio\n1,2,PI,1,1,3,1,3\n"
            ",,POOLED_PI,1,1,3,1,3\n2,3,LOGLIK,1,1,-12.5,,\n");
  Result r = plot("run");
  ASSERT_EQ(r.status, 0) << r.err;

  const std::string first = readFile("run/plots/group_001.svg");
  const std::regex warning("class=\"warning\"[^>]*>([^<]*)</text>");
  std::vector<std::string> lines;
  for (std::sregex_iterator it(first.begin(), first.end(), warning), end; it != end; ++it)
    lines.push_back((*it)[1]);
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[0].rfind("sigma2_grew (pass 2, value 1.7e+18; pass 2, value 12.5): SIGMA**2", 0),
            0u)
      << lines[0];
  EXPECT_EQ(lines[1].rfind("phi_at_bound (pass 2, value 0.995): an eigenvalue of PHI", 0), 0u)
      << lines[1];
  EXPECT_EQ(lines[2].rfind("pi_rank_deficient (pass 2, value 2): the regressors are collinear", 0),
            0u)
      << lines[2];
  EXPECT_EQ(lines[3].rfind("some_new_finding (pass 2): a finding of kova", 0), 0u) << lines[3];
  EXPECT_EQ(readFile("run/plots/group_002.svg").find("class=\"warning"), std::string::npos);
  for (const auto& [group, expected] : run.expected) {
    char name[32];
    std::snprintf(name, sizeof name, "run/plots/group_%03d.svg", group);
    Svg svg = parseSvg(readFile(name));
    ASSERT_EQ(svg.panels.size(), 3u);
    for (const PanelSeen& p : svg.panels) checkPanel(p, expected, group);
  }

  const Page page = parsePage(readFile("run/plots/index.html"));
  const std::vector<std::vector<std::string>> rows = {
      {"1", "O'Brien & <Sons>", "iterative",
       "sigma2_grew, phi_at_bound, pi_rank_deficient, some_new_finding", "group_001.svg"},
      {"2", "plain", "ML", "none", "group_002.svg"}};
  EXPECT_EQ(page.rows, rows);
  checkLinks(page, "run/plots");
  EXPECT_EQ(page.images.size(), 2u);

  // Without the estimates table the method is not known.
  fs::remove("run/KOVA_ESTIMATES.csv");
  ASSERT_EQ(plot("run").status, 0);
  EXPECT_EQ(parsePage(readFile("run/plots/index.html")).rows[1][2], "not known");

  // A common model's run: its findings (group empty) hold for every group,
  // and every group's method is the common one.
  writeFile("run/KOVA_WARNINGS.csv", "group,pass,kind,value\n,,common_phi_at_bound,2\n");
  writeFile("run/KOVA_ESTIMATES.csv",
            "group,pass,matrix,row,column,value,std_error,t_ratio\n1,0,PI,1,1,3,1,3\n"
            ",,COMMON_LOGLIK,1,1,-851,,\n");
  r = plot("run");
  ASSERT_EQ(r.status, 0) << r.err;
  const Page common = parsePage(readFile("run/plots/index.html"));
  ASSERT_EQ(common.rows.size(), 2u);
  for (const auto& row : common.rows) {
    EXPECT_EQ(row[2], "common PHI and DELTA");
    EXPECT_EQ(row[3], "common_phi_at_bound");
  }
  EXPECT_NE(readFile("run/plots/group_002.svg").find("common_phi_at_bound"), std::string::npos);
}

// Control characters and bytes that are not UTF-8 in the names, times and
// variables of the tables become U+FFFD: every picture and the page stay
// well-formed XML, and the other characters of the texts are kept.
TEST(KovaPlot, ControlCharactersInTheTablesStayWellFormedXml) {
  testing::TempDir dir;
  Tables run = drawTables();
  run.groups =
      "id,group,rows,forecast_rows\n1,\"A\x01"
      "B & \xFF<C>\",10,2\n2,\"tab\there\x7F\",6,0\n";
  const std::string beta = run.beta;
  run.beta.clear();
  for (std::size_t at = 0; at < beta.size();) {
    std::size_t end = beta.find('\n', at);
    std::string line = beta.substr(at, end - at);
    std::size_t x2 = line.find(",x2,");
    if (x2 != std::string::npos) line.replace(x2, 4, ",x\x1b[31m2\xC2\x85,");
    run.beta += line + "\n";
    at = end + 1;
  }
  writeTables(run, "run");
  std::string periods = "id,period,time\n";
  for (int t = 1; t <= 10; ++t)
    periods += "1," + std::to_string(t) + ",19\x01" + std::to_string(70 + t) + "\n";
  writeFile("run/PERIODS.csv", periods);
  Result r = plot("run");
  ASSERT_EQ(r.status, 0) << r.err;
  const std::string replacement = "\xEF\xBF\xBD";
  for (int group = 1; group <= 2; ++group) {
    char name[32];
    std::snprintf(name, sizeof name, "run/plots/group_%03d.svg", group);
    SCOPED_TRACE(name);
    const std::string xml = readFile(name);
    Svg svg = parseSvg(xml);
    EXPECT_EQ(svg.title, group == 1 ? "Group 1: A" + replacement + "B & " + replacement + "<C>"
                                    : "Group 2: tab\there" + replacement);
    EXPECT_NE(xml.find("x" + replacement + "[31m2" + replacement), std::string::npos);
    if (group == 1) {
      EXPECT_NE(xml.find(">19" + replacement + "71</text>"), std::string::npos);
    }
  }
  const Page page = parsePage(readFile("run/plots/index.html"));
  ASSERT_EQ(page.rows.size(), 2u);
  EXPECT_EQ(page.rows[0][1], "A" + replacement + "B & " + replacement + "<C>");
}

// Gaps are read from the times in the order of the periods: a time left
// out between two periods is marked in every panel and named in the note,
// unless the group has a record for it elsewhere (a forecast record that
// kova numbers after the estimation records).
TEST(KovaPlot, GapsInTheTimesAreMarkedBetweenTheirPeriods) {
  testing::TempDir dir;
  writeTables(drawTables(), "run");
  const char* first[] = {"1990", "1991", "1992", "1993", "1994",
                         "1996", "1997", "1998", "1995", "1999"};
  const char* second[] = {"2000", "2001", "2004", "2005", "2006", "2007"};
  std::string periods = "id,period,time\n";
  for (int t = 1; t <= 10; ++t) periods += "1," + std::to_string(t) + "," + first[t - 1] + "\n";
  for (int t = 1; t <= 6; ++t) periods += "2," + std::to_string(t) + "," + second[t - 1] + "\n";
  writeFile("run/PERIODS.csv", periods);
  ASSERT_EQ(plot("run").status, 0);
  EXPECT_EQ(readFile("run/plots/group_001.svg").find("gap"), std::string::npos);
  const std::string svg = readFile("run/plots/group_002.svg");
  const std::regex gap("class=\"gap\" d=\"M([0-9.]+),");
  const std::regex tick("class=\"xtick\" x=\"([0-9.]+)\"[^>]*>(2001|2004)</text>");
  std::vector<double> at;
  for (std::sregex_iterator it(svg.begin(), svg.end(), gap), end; it != end; ++it)
    at.push_back(std::stod((*it)[1]));
  ASSERT_EQ(at.size(), 3u);  // the two BETA panels and the y panel
  // In the y panel (the last), halfway between the ticks of 2001 and 2004.
  std::vector<double> ticks;
  for (std::sregex_iterator it(svg.begin(), svg.end(), tick), end; it != end; ++it)
    ticks.push_back(std::stod((*it)[1]));
  ASSERT_GE(ticks.size(), 2u);
  EXPECT_NEAR(at.back(), (ticks[ticks.size() - 2] + ticks.back()) / 2, 0.01);
  EXPECT_NE(svg.find("time gap between 2001 and 2004: no records for 2002, 2003;"),
            std::string::npos);
}

}  // namespace
}  // namespace kova
