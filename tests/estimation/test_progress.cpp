// The console progress display, byte for byte.
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
  EXPECT_EQ(draw(7, 1, 0, 2), kBlank8 + "G7  \n\nG7: \u263B  .  .  \n");
  EXPECT_EQ(draw(150, 2, 1, 2), kBlank8 + "G7  G150  \n\nG150: \u263B  \u2665  .  \n");
  // A third group whose identifier cannot be shown; its bar is full.
  EXPECT_EQ(draw(1000, 3, 2, 2),
            kBlank8 +
                "G7  G150    GROUP IDENTIFICATION NUMBER OF THE CURRENT GROUP IS TOO LARGE TO BE "
                "PRINTED.  \n\nG**: \u263B  \u2665  \u263A  \n");
  // The marks run through their cycle of 22 and start again.
  const std::string cycle =
      "\u263B  \u2665  \u263A  \u2666  \u2663  \u2660  \u25B2  \u25BC  \u2642  \u2640  \u03A9  "
      "\u266B  \u263C  \u25BA  \u25C4  \u221A  \u0398  \u00A5  \u00E7  \u00A3  #  \u00A7  ";
  EXPECT_EQ(draw(0, 1, 23, 24), kBlank8 + "G0  \n\nG0: " + cycle + "\u263B  \u2665  .  \n");
}

TEST(PROGRS, TooManyGroups) {
  EXPECT_EQ(draw(5, 1001, 0, 1),
            kBlank8 + "NO PROGRESS OUTPUT FOR THE GROUPS -- TOO MANY GROUP\t\t\t  S.\n\n\u263B  .  \n");
}

}  // namespace
}  // namespace kova
