#pragma once
// The console's progress display.
//
// PROGRS: the full display of the trace mode, redrawn at the start of every
// pass: the groups begun so far and a bar with one cell per pass of this
// group. Remembers the identifiers of positions 1..1000.
//
// The compact display (the default): one line per group. On a terminal the
// line is redrawn in place (a carriage return, no new line) at every pass
// and at the maximum-likelihood step, and ends with the group's outcome;
// elsewhere (a file, a pipe) only the finished line is written. Everything
// is plain ASCII. All of it writes to console().
#include <string>
#include <string_view>

namespace kova {

void PROGRS(int groupId, int g, int pass, int lastPass);

// Where a group stands: at the start of `pass` of 0..lastPass, or (ml) in
// the likelihood step. g is the position 1..NG.
struct ProgressPoint {
  int groupId = 0, g = 0, NG = 0;
  int pass = 0, lastPass = 0;
  bool ml = false;
};

// The trace mode's PROGRS or the compact line, as the console is set.
void showProgress(const ProgressPoint& at);

// The compact display's finished line of a group (nothing in trace mode):
// "group <id> (<g> of <NG>): " followed by `outcome`.
void finishProgress(int groupId, int g, int NG, std::string_view outcome);

// The text of a compact line before its outcome, as drawn.
std::string progressHead(int groupId, int g, int NG);

}  // namespace kova
