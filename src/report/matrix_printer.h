#pragma once
// The matrix printer and the heading printer: every array of the report is
// printed in one layout, values in G13.5 fields, six to a line.
#include <string>
#include <string_view>

namespace kova {

// Prints the rows x cols array `a` (column-major, leading dimension ld >= rows)
// on outUnit after two empty lines: a heading with the title and the shape,
// then the values. A matrix (rows, cols >= 2) is printed column by column,
// each under a "COLUMN j" line; a single row or column as a vector, each line
// led by one blank. The title is left-adjusted and cut to 100 characters; a
// final "$" is dropped. A row or column count outside 1..999 cancels the
// print with a notice instead (the run goes on). Numbers that cannot be
// turned into heading text are reported on messageUnit.
void PRTMAT(int ld, int rows, int cols, const double* a, int outUnit, std::string_view title,
            int messageUnit);

// Writes two empty lines and the heading that tells which group and which
// iteration the following prints belong to: "G" in the selector prints the
// group, "I" the iteration, both one line with both.
void PRTHDG(int groupId, int iteration, std::string_view selector, int outUnit,
            int messageUnit);

// The digits of an integer for a heading or an echo line, without blanks.
// A value ICNVRT cannot convert (a negative one) is reported on messageUnit
// and then written in full with its sign, rather than left out.
std::string headingNumber(int value, int messageUnit);

}  // namespace kova
