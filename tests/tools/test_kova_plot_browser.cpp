// The page of a real run in a browser: headless Chromium loads index.html of
// the Grunfeld example in a frame of a small checking page, which writes what
// it finds (broken images, links to missing sections, the overview table)
// into its own document; Chromium prints that document and the console
// messages of both pages. Skipped where Chromium is not installed.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>
#include <sstream>
#include <vector>

#include "support/run_kova.h"
#include "support/temp_dir.h"

namespace kova {
namespace {

namespace fs = std::filesystem;
using testing::readFile;
using testing::writeFile;

constexpr const char* kChromium = "/usr/bin/chromium";

// Reads the frame once everything has loaded; each finding is a line.
const char* const kCheckPage = R"(<!DOCTYPE html>
<html><head><meta charset="utf-8"><title>check</title></head>
<body><iframe id="page" src="PAGE"></iframe><pre id="result"></pre>
<script>
window.addEventListener('load', function () {
  var out = [];
  try {
    var d = document.getElementById('page').contentDocument;
    d.querySelectorAll('img').forEach(function (i) {
      out.push((i.complete && i.naturalWidth > 0 ? 'image ' : 'broken image ') + i.getAttribute('src'));
    });
    d.querySelectorAll('a[href]').forEach(function (a) {
      var h = a.getAttribute('href');
      if (h.charAt(0) !== '#') out.push('file link ' + h);
      else if (!d.getElementById(h.substring(1))) out.push('broken link ' + h);
    });
    d.querySelectorAll('table.overview tbody tr').forEach(function (tr) {
      var c = tr.querySelectorAll('td');
      out.push('row ' + c[0].textContent + '|' + c[2].textContent + '|' + c[3].textContent);
    });
  } catch (e) {
    out.push('error ' + e);
  }
  document.getElementById('result').textContent = out.join('\n');
});
</script></body></html>
)";

std::vector<std::string> linesOf(const std::string& text) {
  std::vector<std::string> out;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) out.push_back(line);
  return out;
}

// group -> its warning kinds, each once, as KOVA_WARNINGS.csv lists them.
std::map<std::string, std::string> warningsByGroup(const fs::path& table) {
  std::map<std::string, std::string> out;
  std::map<std::string, std::set<std::string>> seen;
  std::vector<std::string> rows = linesOf(readFile(table));
  for (std::size_t i = 1; i < rows.size(); ++i) {
    std::vector<std::string> f;
    std::istringstream in(rows[i]);
    for (std::string field; std::getline(in, field, ',');) f.push_back(field);
    if (f.size() < 3 || !seen[f[0]].insert(f[2]).second) continue;
    out[f[0]] += (out[f[0]].empty() ? "" : ", ") + f[2];
  }
  return out;
}

TEST(KovaPlotBrowser, IndexLoadsWithoutErrorsAndListsEveryGroupWithItsWarnings) {
  if (!fs::exists(kChromium))
    GTEST_SKIP() << kChromium << " is not installed (Debian package chromium)";
  testing::TempDir dir;
  fs::create_directory("run");
  testing::copyExample("grunfeld-firms", "run");
  ASSERT_EQ(testing::runTool("cd run && '" + std::string(KOVA_BINARY) + "'").status, 0);
  testing::ToolResult plotted = testing::runTool(std::string("'") + KOVA_PLOT + "' run");
  ASSERT_EQ(plotted.status, 0) << plotted.err;

  const fs::path plots = fs::absolute("run/plots");
  std::string check = kCheckPage;
  check.replace(check.find("PAGE"), 4, "file://" + (plots / "index.html").string());
  writeFile("check.html", check);
  const std::string command =
      std::string("timeout 60 ") + kChromium +
      " --headless --no-sandbox --disable-gpu --disable-background-networking --no-first-run"
      " --disable-component-update --disable-sync --user-data-dir='" +
      fs::absolute("profile").string() +
      "' --allow-file-access-from-files --enable-logging=stderr --v=0 --virtual-time-budget=5000"
      " --dump-dom 'file://" +
      fs::absolute("check.html").string() + "'";
  testing::ToolResult browser = testing::runTool(command);
  ASSERT_EQ(browser.status, 0) << browser.err;

  // No console message from either page (an error in the page, a refused
  // resource, a script error of the check).
  for (const std::string& line : linesOf(browser.err))
    EXPECT_EQ(line.find(":CONSOLE"), std::string::npos) << line;

  const std::string dom = readFile("out.txt");
  const std::size_t from = dom.find("<pre id=\"result\">"), to = dom.find("</pre>", from);
  ASSERT_NE(from, std::string::npos) << dom;
  std::vector<std::string> found = linesOf(dom.substr(from + 17, to - from - 17));
  std::size_t images = 0;
  std::vector<std::string> rows;
  for (const std::string& line : found) {
    EXPECT_EQ(line.rfind("broken", 0), std::string::npos) << line;
    EXPECT_EQ(line.rfind("error", 0), std::string::npos) << line;
    if (line.rfind("image ", 0) == 0) ++images;
    if (line.rfind("file link ", 0) == 0) {
      EXPECT_TRUE(fs::is_regular_file(plots / line.substr(10))) << line;
    }
    if (line.rfind("row ", 0) == 0) rows.push_back(line.substr(4));
  }
  EXPECT_EQ(images, 11u);
  // One row per firm, with the kinds of its rows in KOVA_WARNINGS.csv (the
  // default Grunfeld run warns about every firm).
  std::map<std::string, std::string> warnings = warningsByGroup("run/KOVA_WARNINGS.csv");
  ASSERT_EQ(rows.size(), 11u);
  for (int g = 1; g <= 11; ++g) {
    const std::string id = std::to_string(g);
    ASSERT_FALSE(warnings[id].empty()) << id;
    EXPECT_EQ(rows[g - 1], id + "|iterative|" + warnings[id]);
  }
}

}  // namespace
}  // namespace kova
