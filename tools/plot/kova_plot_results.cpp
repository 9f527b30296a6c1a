// The result tables of a run, gathered by group: BETA_k(t) of each group's
// last pass, y with its fitted values, the forecasts, and where present the
// forecast errors and the group names that kova_prepare recorded.
#include <algorithm>
#include <cmath>
#include <filesystem>

#include "csv/time_gaps.h"
#include "kova_plot.h"

namespace kova::plot {
namespace {

namespace fs = std::filesystem;
using Groups = std::map<int, GroupResults>;

std::string tablePath(const std::string& dir, const char* name) {
  return (fs::path(dir) / name).string();
}

Table requiredTable(const std::string& dir, const char* name) {
  std::string path = tablePath(dir, name);
  if (!fs::is_regular_file(path))
    throw BadInput(path + ": no such file (kova writes it at the end of a run)");
  return Table(path);
}

GroupResults& groupOf(Groups& groups, int id) {
  GroupResults& g = groups[id];
  g.id = id;
  return g;
}

int period(const Table& t, std::size_t row, int column) {
  int p = t.integer(row, column);
  if (p < 1) throw BadInput(t.at(row, column) + ": a period is 1 or more");
  return p;
}

// Enters the value of a period once; a second row for it is an error.
void enter(Series& s, int p, double value, const Table& t, std::size_t row, int column) {
  if (!s.emplace(p, value).second)
    throw BadInput(t.at(row, column) + ": period " + std::to_string(p) +
                   " of this group is given twice");
}

void readBeta(const std::string& dir, Groups& groups) {
  Table t = requiredTable(dir, "KOVA_BETA.csv");
  const int cg = t.column("group"), cpass = t.column("pass"), cper = t.column("period"),
            cf = t.column("forecast"), ck = t.column("k"), cv = t.column("variable"),
            cb = t.column("beta"), cpb = t.column("pooled_beta"),
            cse = t.optionalColumn("std_error"), cq = t.optionalColumn("band_quantile");
  std::map<int, int> last;
  for (std::size_t i = 0; i < t.rows(); ++i) {
    int pass = t.integer(i, cpass);
    if (pass < 0) throw BadInput(t.at(i, cpass) + ": a pass is 0 or more");
    int& l = last.try_emplace(t.integer(i, cg), pass).first->second;
    l = std::max(l, pass);
  }
  for (std::size_t i = 0; i < t.rows(); ++i) {
    GroupResults& g = groupOf(groups, t.integer(i, cg));
    int pass = t.integer(i, cpass), p = period(t, i, cper), k = t.integer(i, ck);
    int forecast = t.integer(i, cf);
    if (forecast != 0 && forecast != 1) throw BadInput(t.at(i, cf) + ": 0 or 1 is needed");
    if (k < 1) throw BadInput(t.at(i, ck) + ": k is 1 or more");
    if (pass != last[g.id]) continue;
    g.lastPass = pass;
    if (g.betas.size() < static_cast<std::size_t>(k)) g.betas.resize(k);
    BetaSeries& b = g.betas[k - 1];
    b.variable = t.text(i, cv);
    enter(b.beta, p, t.number(i, cb), t, i, cper);
    b.pooled[p] = t.number(i, cpb);
    if (cse >= 0) {
      const double se = t.number(i, cse);
      const double beta = b.beta.count(p) ? b.beta.at(p) : NAN;
      // The run's multiple of se for the 95% band (Student's t of the
      // group's degrees of freedom); tables without it: the normal's.
      const double given = cq >= 0 ? t.number(i, cq) : NAN;
      const double q = std::isfinite(given) && given > 0.0 ? given : 1.96;
      b.lower[p] = std::isfinite(se) ? beta - q * se : NAN;
      b.upper[p] = std::isfinite(se) ? beta + q * se : NAN;
    }
    if (forecast == 1 && (g.firstForecast == 0 || p < g.firstForecast)) g.firstForecast = p;
  }
}

void readFitted(const std::string& dir, Groups& groups) {
  Table t = requiredTable(dir, "KOVA_FITTED.csv");
  const int cg = t.column("group"), cper = t.column("period"), cv = t.column("variable"),
            cy = t.column("y"), cfit = t.column("fitted"), cpf = t.column("pooled_fitted");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    GroupResults& g = groupOf(groups, t.integer(i, cg));
    int p = period(t, i, cper);
    g.yName = t.text(i, cv);
    enter(g.y, p, t.number(i, cy), t, i, cper);
    g.fitted[p] = t.number(i, cfit);
    g.pooledFitted[p] = t.number(i, cpf);
  }
}

void readForecasts(const std::string& dir, Groups& groups) {
  Table t = requiredTable(dir, "KOVA_FORECASTS.csv");
  const int cg = t.column("group"), cper = t.column("period"), cv = t.column("variable"),
            cy = t.column("y"), cyfs = t.column("forecast_yfs"),
            cpr = t.column("forecast_predictor"), cpool = t.column("pooled_forecast");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    GroupResults& g = groupOf(groups, t.integer(i, cg));
    int p = period(t, i, cper);
    if (g.yName.empty()) g.yName = t.text(i, cv);
    enter(g.forecastY, p, t.number(i, cy), t, i, cper);
    g.yfs[p] = t.number(i, cyfs);
    g.predictor[p] = t.number(i, cpr);
    g.pooledForecast[p] = t.number(i, cpool);
    if (g.firstForecast == 0 || p < g.firstForecast) g.firstForecast = p;
  }
}

void readErrors(const std::string& dir, Groups& groups) {
  std::string path = tablePath(dir, "KOVA_FORECAST_ERRORS.csv");
  if (!fs::exists(path)) return;
  Table t(path);
  const int cg = t.column("group"), cf = t.column("forecast"), cc = t.column("compared"),
            cr = t.column("rmse");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    auto g = groups.find(t.integer(i, cg));
    ForecastError e{t.text(i, cf), t.integer(i, cc), t.number(i, cr)};
    if (g != groups.end()) g->second.errors.push_back(e);
  }
}

void readNames(const std::string& dir, Groups& groups) {
  std::string path = tablePath(dir, "GROUPS.csv");
  if (!fs::exists(path)) return;
  Table t(path);
  const int cid = t.column("id"), cname = t.column("group");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    auto g = groups.find(t.integer(i, cid));
    if (g != groups.end()) g->second.name = t.text(i, cname);
  }
}

void readTimes(const std::string& dir, Groups& groups) {
  std::string path = tablePath(dir, "PERIODS.csv");
  if (!fs::exists(path)) return;
  Table t(path);
  const int cid = t.column("id"), cperiod = t.column("period"), ctime = t.column("time");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    auto g = groups.find(t.integer(i, cid));
    if (g != groups.end()) g->second.times[t.integer(i, cperiod)] = t.text(i, ctime);
  }
}

// Where a group's times, in the order of its periods, leave some out
// against the step most groups take.
void findGaps(Groups& groups) {
  std::vector<std::vector<std::string>> times;
  std::vector<GroupResults*> timed;
  for (auto& [id, g] : groups) {
    if (g.times.empty()) continue;
    timed.push_back(&g);
    times.emplace_back();
    for (const auto& [p, t] : g.times) times.back().push_back(t);
  }
  const csv::TimeGaps gaps = csv::findTimeGaps(times);
  for (std::size_t i = 0; i < timed.size(); ++i)
    for (const csv::TimeGap& gap : gaps.groups[i]) {
      auto p = timed[i]->times.begin();
      std::advance(p, static_cast<long>(gap.after));
      timed[i]->gaps.push_back({p->first, p->second, std::next(p)->second, csv::missingText(gap)});
    }
}

void readWarnings(const std::string& dir, Groups& groups) {
  std::string path = tablePath(dir, "KOVA_WARNINGS.csv");
  if (!fs::exists(path)) return;
  Table t(path);
  const int cg = t.column("group"), cp = t.column("pass"), ck = t.column("kind"),
            cv = t.column("value");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    const WarningRow row{t.text(i, ck), t.text(i, cp), t.text(i, cv)};
    // A row without a group is a finding of the panel as a whole (the
    // common model's PHI and DELTA): it holds for every group.
    if (t.text(i, cg).empty()) {
      for (auto& [id, g] : groups) g.warnings.push_back(row);
      continue;
    }
    auto g = groups.find(t.integer(i, cg));
    if (g != groups.end()) g->second.warnings.push_back(row);
  }
}

// ML for the groups with a maximum log-likelihood in the estimates table.
void readMethods(const std::string& dir, Groups& groups) {
  std::string path = tablePath(dir, "KOVA_ESTIMATES.csv");
  if (!fs::exists(path)) return;
  Table t(path);
  const int cg = t.column("group"), cm = t.column("matrix");
  for (auto& [id, g] : groups) g.method = "iterative";
  for (std::size_t i = 0; i < t.rows(); ++i) {
    if (t.text(i, cm) == "COMMON_LOGLIK") {
      for (auto& [id, g] : groups) g.method = "common PHI and DELTA";
      break;
    }
  }
  for (std::size_t i = 0; i < t.rows(); ++i) {
    if (t.text(i, cm) != "LOGLIK") continue;
    auto g = groups.find(t.integer(i, cg));
    if (g != groups.end()) g->second.method = "ML";
  }
}

// The span of periods drawn: every period of every series of the group.
void settlePeriods(GroupResults& g) {
  std::vector<const Series*> all{&g.y, &g.forecastY};
  for (const BetaSeries& b : g.betas) all.push_back(&b.beta);
  bool any = false;
  for (const Series* s : all) {
    if (s->empty()) continue;
    g.firstPeriod = any ? std::min(g.firstPeriod, s->begin()->first) : s->begin()->first;
    g.lastPeriod = any ? std::max(g.lastPeriod, s->rbegin()->first) : s->rbegin()->first;
    any = true;
  }
  for (std::size_t k = 0; k < g.betas.size(); ++k) g.betas[k].k = static_cast<int>(k + 1);
}

}  // namespace

// The innovations of the last pass (optional table).
void readInnovations(const std::string& dir, Groups& groups) {
  std::string path = tablePath(dir, "KOVA_INNOVATIONS.csv");
  if (!fs::exists(path)) return;
  Table t(path);
  const int cg = t.column("group"), cper = t.column("period"), cv = t.column("innovation"),
            cvar = t.column("variance"), cs = t.column("standardised");
  for (std::size_t i = 0; i < t.rows(); ++i) {
    GroupResults& g = groupOf(groups, t.integer(i, cg));
    int p = period(t, i, cper);
    g.innovations = true;
    enter(g.innovation, p, t.number(i, cv), t, i, cper);
    g.variance[p] = t.number(i, cvar);
    g.standardised[p] = t.number(i, cs);
  }
  for (auto& [id, g] : groups) {
    if (!g.innovations) continue;
    for (const auto& [p, v] : g.innovation) {
      const auto y = g.y.find(p);
      const double pred = y == g.y.end() ? NAN : y->second - v;
      const double half = 1.96 * std::sqrt(g.variance[p]);
      g.prediction[p] = pred;
      g.lower[p] = pred - half;
      g.upper[p] = pred + half;
      g.zLower[p] = -1.96;
      g.zUpper[p] = 1.96;
    }
  }
}

std::vector<GroupResults> readResults(const std::string& dir) {
  if (!fs::is_directory(dir)) throw BadInput(dir + ": no such directory");
  Groups groups;
  readBeta(dir, groups);
  readFitted(dir, groups);
  readForecasts(dir, groups);
  readInnovations(dir, groups);
  readErrors(dir, groups);
  readNames(dir, groups);
  readTimes(dir, groups);
  readWarnings(dir, groups);
  readMethods(dir, groups);
  findGaps(groups);
  std::vector<GroupResults> out;
  for (auto& [id, g] : groups) {
    settlePeriods(g);
    out.push_back(std::move(g));
  }
  return out;
}

}  // namespace kova::plot
