#pragma once
// PROGRS: the console progress display, redrawn at the start of every pass:
// the groups begun so far and a bar with one cell per pass of this group.
// Writes to console(); remembers the identifiers of positions 1..1000.
namespace kova {

void PROGRS(int groupId, int g, int pass, int lastPass);

}  // namespace kova
