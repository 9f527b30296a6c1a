// The console progress displays, byte for byte: the full one of the trace
// mode and the compact lines.
#include <gtest/gtest.h>

#include <sstream>
#include <string>

#include "estimation/progress.h"
#include "io/console.h"

namespace kova {
namespace {

std::string draw(int groupId, int g, int pass, int lastPass) {
  std::ostringstream text;
  ConsoleRedirect redirect(text);
  PROGRS(groupId, g, pass, lastPass);
  return text.str();
}

const std::string kBlank8(8, '\n');

TEST(PROGRS, ListOfGroupsAndBarOfPasses) {
  EXPECT_EQ(draw(7, 1, 0, 2), kBlank8 + "G7  \n\nG7: 1  .  .  \n");
  EXPECT_EQ(draw(150, 2, 1, 2), kBlank8 + "G7  G150  \n\nG150: 1  2  .  \n");
  // A third group whose identifier cannot be shown; its bar is full.
  EXPECT_EQ(draw(1000, 3, 2, 2),
            kBlank8 +
                "G7  G150    GROUP IDENTIFICATION NUMBER OF THE CURRENT GROUP IS TOO LARGE TO BE "
                "PRINTED.  \n\nG**: 1  2  3  \n");
  // The marks run through their cycle of 22 and start again.
  const std::string cycle = "1  2  3  4  5  6  7  8  9  0  A  B  C  D  E  F  G  H  I  J  K  L  ";
  EXPECT_EQ(draw(0, 1, 23, 24), kBlank8 + "G0  \n\nG0: " + cycle + "1  2  .  \n");
}

TEST(PROGRS, TooManyGroups) {
  EXPECT_EQ(draw(5, 1001, 0, 1),
            kBlank8 + "NO PROGRESS OUTPUT FOR THE GROUPS -- TOO MANY GROUP\t\t\t  S.\n\n1  .  \n");
}

// Off a terminal (a string stream here) the compact display writes only
// the finished line of each group; in trace mode it leaves the console to
// PROGRS. The mode is restored for the other tests.
TEST(CompactProgress, OneFinishedLinePerGroupOffATerminal) {
  const bool trace = consoleTrace();
  std::ostringstream text;
  {
    ConsoleRedirect redirect(text);
    setConsoleTrace(false);
    for (int pass = 0; pass <= 2; ++pass) showProgress({7, 1, 2, pass, 2, false});
    showProgress({7, 1, 2, 2, 2, true});
    finishProgress(7, 1, 2, "passes 0-2, 1 warning");
    showProgress({150, 2, 2, 0, 2, false});
    finishProgress(150, 2, 2, "passes 0-2");
    setConsoleTrace(true);
    showProgress({9, 1, 1, 0, 1, false});
    showProgress({9, 1, 1, 0, 1, true});  // the ML step has no cell of its own
    finishProgress(9, 1, 1, "passes 0-1");
  }
  setConsoleTrace(trace);
  EXPECT_EQ(text.str(),
            "group 7 (1 of 2): passes 0-2, 1 warning\ngroup 150 (2 of 2): passes 0-2\n" +
                kBlank8 + "G9  \n\nG9: 1  .  \n");
  for (char c : text.str()) EXPECT_TRUE(c == '\n' || (c >= ' ' && c <= '~'));
}

}  // namespace
}  // namespace kova
