#include "estimation/progress.h"

#include <ostream>
#include <string>

#include "io/console.h"

namespace kova {
namespace {

constexpr int kMaxShown = 1000;
constexpr int kCycle = 22;

// The marks of the passes done, one per pass in a cycle of 22; plain ASCII
// so that every terminal and every log viewer shows them as they are.
const char* const kMarks[kCycle] = {"1", "2", "3", "4", "5", "6", "7", "8", "9", "0", "A",
                                    "B", "C", "D", "E", "F", "G", "H", "I", "J", "K", "L"};

int shownIds[kMaxShown] = {};

bool printable(int id) { return id >= 0 && id <= 999; }

// The length of the compact line last drawn in place (0: none open).
std::size_t openLine = 0;

void drawInPlace(const std::string& text) {
  std::ostream& out = console();
  out << '\r' << text;
  // Blanks over what is left of a longer line drawn before.
  if (openLine > text.size()) out << std::string(openLine - text.size(), ' ') << '\r' << text;
  out << std::flush;
  openLine = text.size();
}

}  // namespace

std::string progressHead(int groupId, int g, int NG) {
  return "group " + std::to_string(groupId) + " (" + std::to_string(g) + " of " +
         std::to_string(NG) + "): ";
}

void showProgress(const ProgressPoint& at) {
  if (consoleTrace()) {
    if (!at.ml) PROGRS(at.groupId, at.g, at.pass, at.lastPass);
    return;
  }
  if (!consoleIsTerminal()) return;
  std::string text = progressHead(at.groupId, at.g, at.NG);
  if (at.ml)
    text += "maximum likelihood ...";
  else
    text += "pass " + std::to_string(at.pass) + " of " + std::to_string(at.lastPass);
  drawInPlace(text);
}

void finishProgress(int groupId, int g, int NG, std::string_view outcome) {
  if (consoleTrace()) return;
  const std::string text = progressHead(groupId, g, NG) + std::string(outcome);
  if (openLine > 0) {
    drawInPlace(text);
    console() << '\n' << std::flush;
    openLine = 0;
  } else {
    consoleLine(text);
  }
}

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
