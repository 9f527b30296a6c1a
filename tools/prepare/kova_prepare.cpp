// kova_prepare: writes a kova run directory from a CSV panel.
//
// Exit status: 0 when the directory is written, 2 for bad input (nothing is
// written; the message names the file, the line and the column), 1 when a
// file cannot be written.
#include <CLI/CLI.hpp>

#include <cstdio>
#include <filesystem>
#include <fstream>

#include "kova_prepare.h"

namespace kova::prepare {

namespace fs = std::filesystem;

void checkOutputDirectory(const Request& rq) {
  std::error_code ec;
  fs::path out(rq.out);
  if (!fs::exists(out, ec)) return;
  if (!fs::is_directory(out, ec)) throw BadInput(rq.out + ": exists and is not a directory");
  if (!fs::is_empty(out, ec) && !rq.force)
    throw BadInput(rq.out + ": the output directory exists and is not empty (--force writes into it)");
}

void writeDirectory(const Request& rq, const Prepared& prepared) {
  fs::path out(rq.out);
  std::error_code ec;
  fs::create_directories(out, ec);
  if (ec) throw WriteFailure(rq.out + ": cannot create the directory (" + ec.message() + ")");
  for (const char* stale : {"YXDATA2", "ZDATA1", "ZDATA2", "LDATA1", "LDATA2", "PERIODS.csv"}) {
    bool written = false;
    for (const OutputFile& f : prepared.files) written = written || f.name == stale;
    if (!written) fs::remove(out / stale, ec);
  }
  for (const OutputFile& f : prepared.files) {
    fs::path path = out / f.name;
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    file << f.text;
    file.close();
    if (!file) throw WriteFailure(path.string() + ": cannot be written");
  }
}

}  // namespace kova::prepare

namespace {

const char* const kExample =
    "Example (the Grunfeld panel: a group per firm, the last two years of each firm\n"
    "as forecast records):\n"
    "  kova_prepare grunfeld.csv --group firm --y invest --x value,capital --time year \\\n"
    "      --forecast-last 2 --option GLS=YES --out run\n"
    "  cd run && kova\n"
    "\n"
    "Groups get identifiers 1, 2, ... in order of first appearance (GROUPS.csv holds\n"
    "the map). x(t) and z(t) get a leading 1.0, so K = 1 + the x columns and P = 1 +\n"
    "the z columns. Numbers keep the digits they have in the CSV; a value that no\n"
    "field can hold exactly is rounded with a warning. A group whose --time values\n"
    "leave some out (against the step most groups take) stops the run unless\n"
    "--allow-gaps; a column with one value in each group is named in a warning.\n"
    "--random constant,value keeps capital's coefficient fixed: M = 2 and LDATA1\n"
    "holds the K x M L-matrix. Exit status: 0 done, 2 bad input (nothing written),\n"
    "1 a file could not be written.\n";

}  // namespace

int main(int argc, char** argv) {
  using namespace kova::prepare;
  Request rq;
  CLI::App app{
      "Writes a kova run directory (PARAMTRS, YXDKEY, YXDATA1/2, "
      "ZDATA1/2, LDATA1/2,\n"
      "GROUPS.csv, PERIODS.csv) from a CSV panel with one row per "
      "group and period.",
      "kova_prepare"};
  app.footer(kExample);
  app.add_option("panel", rq.csv, "the CSV file, with a header line (e.g. panel.csv)")
      ->required();
  app.add_option("--group", rq.group, "column of the group (panel unit), e.g. --group firm")
      ->required();
  app.add_option("--y", rq.y, "column of the dependent variable, e.g. --y invest")->required();
  app.add_option("--x", rq.x, "columns of x(t), comma-separated, e.g. --x value,capital")
      ->required()
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_option("--z", rq.z, "columns of the z-vectors, e.g. --z size (default: none)")
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_option("--time", rq.time,
                 "column of the period; orders each group's rows and refuses a period twice "
                 "(numbers compare as numbers, else as text), e.g. --time year");
  auto* last = app.add_option("--forecast-last", rq.forecastLast,
                              "the last n periods of every group are forecast records, "
                              "e.g. --forecast-last 2")
                   ->check(CLI::NonNegativeNumber);
  auto* column = app.add_option("--forecast-column", rq.forecastColumn,
                                "column that is true (1, true, yes) on forecast rows, "
                                "e.g. --forecast-column is_forecast");
  last->excludes(column);
  app.add_option("--iterations", rq.iterations, "passes per group, e.g. --iterations 5 (default)")
      ->check(CLI::PositiveNumber);
  app.add_option("--option", rq.options,
                 "a further PARAMTRS line, repeatable, e.g. --option GLS=YES "
                 "--option 'TITLE=INVESTMENT'")
      ->allow_extra_args(false);
  app.add_flag("--allow-gaps", rq.allowGaps,
               "go on when a group's --time sequence has gaps (times left out "
               "against the step "
               "most groups take); each group's records are then taken as "
               "consecutive periods, "
               "and kova_plot marks the gaps");
  app.add_option("--random", rq.random,
                 "the coefficients that vary over time, comma-separated: --x columns "
                 "and "
                 "\"constant\" for the leading one, e.g. --random constant,value; the "
                 "others stay "
                 "fixed in PI (writes M and the L-matrix, LDATA1/2; default: all vary)")
      ->delimiter(',')
      ->allow_extra_args(false);
  app.add_flag("--diagonal", rq.diagonal,
               "diagonal PHI and DELTA (DIAGONAL PHI = YES, DIAGONAL DELTA = YES)");
  app.add_option("--out", rq.out, "the run directory to write, e.g. --out run")->required();
  app.add_flag("--force", rq.force, "write into an output directory that is not empty");

  try {
    app.parse(argc, argv);
  } catch (const CLI::ParseError& e) {
    return app.exit(e) == 0 ? 0 : 2;
  }
  try {
    checkOutputDirectory(rq);
    CsvTable table = readCsv(rq.csv);
    Prepared prepared = prepare(rq, table);
    writeDirectory(rq, prepared);
    for (const std::string& w : prepared.warnings) std::fprintf(stderr, "kova_prepare: warning: %s\n", w.c_str());
    std::printf("kova_prepare: wrote %s: %s\n", rq.out.c_str(), prepared.summary.c_str());
    return 0;
  } catch (const BadInput& e) {
    std::fprintf(stderr, "kova_prepare: %s\n", e.what());
    return 2;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "kova_prepare: %s\n", e.what());
    return 1;
  }
}
