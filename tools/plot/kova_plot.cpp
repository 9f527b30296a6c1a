// kova_plot: draws the result tables of a kova run as SVG pictures, one per
// group, and an index.html that shows them all, in rundir/plots.
//
// Exit status: 0 when the pictures are written, 2 for bad input (nothing is
// written; the message names the file, the line and the column), 1 when a
// file cannot be written.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "kova_plot.h"

namespace {

namespace fs = std::filesystem;
using namespace kova::plot;

const char* const kExample =
    "Example (the Grunfeld example, on a copy of its directory):\n"
    "  cp -r examples/grunfeld run && cd run && kova && kova_plot .\n"
    "  (then open run/plots/index.html)\n"
    "\n"
    "Reads KOVA_BETA.csv (with the 95% band of BETA from its std_error column when\n"
    "present), KOVA_FITTED.csv and KOVA_FORECASTS.csv, and where present\n"
    "KOVA_FORECAST_ERRORS.csv (the RMSE line), GROUPS.csv (the group names),\n"
    "KOVA_INNOVATIONS.csv (the one-step-ahead prediction y - v with its 95% band in\n"
    "place of the fitted values, and a panel of the standardised innovations),\n"
    "PERIODS.csv (times on the period axes, gaps in them marked), KOVA_WARNINGS.csv\n"
    "(a box on the picture of each group with warnings) and KOVA_ESTIMATES.csv (the\n"
    "method of each group in the overview).\n"
    "Writes plots/group_nnn.svg for each group nnn (BETA_k(t) of its last pass per k,\n"
    "y with the fitted values and the forecasts; forecast periods shaded) and\n"
    "plots/index.html (a table of the groups with their warnings, then the pictures),\n"
    "replacing files of those names. Empty, NaN or infinite values\n"
    "are left out of a line, which breaks there. Exit status: 0 done, 2 bad input\n"
    "(nothing written), 1 a file could not be written.\n";

void writeText(const fs::path& path, const std::string& text) {
  std::ofstream file(path, std::ios::binary | std::ios::trunc);
  file << text;
  file.close();
  if (!file) throw WriteFailure(path.string() + ": cannot be written");
}

void writePlots(const std::string& dir, const std::vector<GroupResults>& groups) {
  fs::path out = fs::path(dir) / "plots";
  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec || !fs::is_directory(out))
    throw WriteFailure(out.string() + ": cannot create the directory" +
                       (ec ? " (" + ec.message() + ")" : ""));
  for (const GroupResults& g : groups) writeText(out / svgFileName(g.id), groupSvg(g));
  std::string name = fs::weakly_canonical(fs::absolute(dir), ec).filename().string();
  writeText(out / "index.html", indexHtml(name.empty() ? dir : name, groups));
}

}  // namespace

int main(int argc, char** argv) {
  std::string dir;
  CLI::App app{"Draws the result tables of a kova run (KOVA_BETA.csv, KOVA_FITTED.csv,\n"
               "KOVA_FORECASTS.csv) as one SVG picture per group and an index.html.",
               "kova_plot"};
  app.footer(kExample);
  app.add_option("rundir", dir, "the directory kova ran in; the pictures go to rundir/plots")
      ->required();
  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  try {
    std::vector<GroupResults> groups = readResults(dir);
    writePlots(dir, groups);
    std::printf("kova_plot: wrote %s: %zu group picture%s and index.html\n",
                (fs::path(dir) / "plots").string().c_str(), groups.size(),
                groups.size() == 1 ? "" : "s");
    return 0;
  } catch (const BadInput& e) {
    std::fprintf(stderr, "kova_plot: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova_plot: %s\n", e.what());
    return 1;
  }
}
