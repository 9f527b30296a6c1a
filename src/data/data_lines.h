#pragma once
// Reading the fixed-width fields of the data files. Every field is w columns
// wide, fields start at column 1 without separators, a number may carry its
// own point and exponent, and an all-blank field reads as 0.0.
//
// A line that is missing or a field that is not a number ends the run with a
// message that names the file, the line and the field.
#include <string>
#include <string_view>

#include "io/file_services.h"

namespace kova {

// A line of a data file with its number in the file. The number travels with
// the text because a block's lines are all read before their fields are.
struct DataLine {
  std::string text;
  long number = 0;
};

// Reads the next line of an open data file in full (a continuation line may
// run past 80 columns). `caller` names the reading routine in the messages.
void readDataLine(const NamedUnit& file, DataLine& line, std::string_view caller, int logUnit);

// Field `index` (0-based) of width w, as a number; `file` is the line's file.
double dataField(const DataLine& line, int index, int w, const NamedUnit& file,
                 std::string_view caller, int logUnit);

// Field `index` (0-based) of width w as a name, in an 80-character field.
std::string nameField(const std::string& line, int index, int w);

// The raw text of field `index` (0-based) of width w, blank-padded.
std::string rawField(const std::string& line, int index, int w);

}  // namespace kova
