#include "estimation/progress.h"

#include <ostream>
#include <string>

#include "io/console.h"

namespace kova {
namespace {

constexpr int kMaxShown = 1000;
constexpr int kCycle = 22;

// The cycle of marks, each the UTF-8 form of the code-page-437 glyph of its
// byte (0x02 0x03 0x01 0x04 0x05 0x06 0x1E 0x1F 0x0B 0x0C 0xEA 0x0E 0x0F 0x10
// 0x11 0xFB 0xE9 0x9D 0x87 0x9C 0x23 0x15): the console is UTF-8.
const char* const kMarks[kCycle] = {
    "\u263B", "\u2665", "\u263A", "\u2666", "\u2663", "\u2660", "\u25B2", "\u25BC",
    "\u2642", "\u2640", "\u03A9", "\u266B", "\u263C", "\u25BA", "\u25C4", "\u221A",
    "\u0398", "\u00A5", "\u00E7", "\u00A3", "#",      "\u00A7"};

int shownIds[kMaxShown] = {};

bool printable(int id) { return id >= 0 && id <= 999; }

}  // namespace

void PROGRS(int groupId, int g, int pass, int lastPass) {
  // Positions past the table are neither stored nor listed.
  if (g >= 1 && g <= kMaxShown) shownIds[g - 1] = groupId;

  std::ostream& out = console();
  out << std::string(8, '\n');
  if (g > kMaxShown) {
    out << "NO PROGRESS OUTPUT FOR THE GROUPS -- TOO MANY GROUP\t\t\t  S.";
  } else {
    for (int i = 1; i <= g; ++i) {
      const int id = shownIds[i - 1];
      if (printable(id))
        out << 'G' << id << "  ";
      else
        out << "  GROUP IDENTIFICATION NUMBER OF THE CURRENT GROUP IS TOO LARGE TO BE PRINTED.  ";
    }
  }
  out << "\n\n";
  if (g <= kMaxShown) {
    if (printable(groupId))
      out << 'G' << groupId << ": ";
    else
      out << "G**: ";
  }
  const int cells = lastPass + 1;
  for (int i = 0; i < cells; ++i) {
    if (i <= pass)
      out << kMarks[i % kCycle] << "  ";
    else
      out << ".  ";
  }
  out << '\n' << std::flush;
}

}  // namespace kova
