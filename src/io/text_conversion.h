#pragma once
// Text tools and validating number conversions shared by every reader.
//
// Text fields are fixed-length, blank-padded std::strings: the size of the
// string is the length of the field and never changes.
//
// The conversions check their input character by character. On bad input they
// either stop the run (the stop convention) or set the result to zero and
// return, as the caller's option says; every message goes, after an empty
// line, to the log unit and then to the console.
#include <string>
#include <string_view>

namespace kova {

// Moves the contents of the field to its start, blank-padding the rest.
// Returns the length of the contents (0 for an all-blank field).
int leftAdjust(std::string& field);

// True when the field holds END/end, OF/of and DATA/data anywhere, each in
// one case.
bool isEndOfData(std::string_view field);

// Centres the contents within the field: n = (W - L) / 2 leading blanks.
void centre(std::string& field);

// Text to integer: accepts blanks, signs and digits; blanks inside the number
// are ignored. The field is left-adjusted in place. Continues (value 0) only
// when the option is exactly CONTINUE or continue.
void CTI(std::string& field, int& value, int logUnit, std::string_view caller,
         std::string_view option);

// Text to double, read with no implied decimal places: also accepts the
// point and the exponent letters E and D (upper case only).
void CTODR(std::string& field, double& value, int logUnit, std::string_view caller,
           std::string_view option);

// Writes the decimal digits of 0 <= value <= 999999999 at the start of the
// field (the rest blank). Outside that range it reports, and stops when the
// option contains STOP/stop, else leaves the field unchanged.
void ICNVRT(std::string& field, int value, int logUnit, std::string_view option);

// Heap sort of keys[0..n-1] ascending, carrying companions along. Not stable.
// n < 1 is reported; it stops when the option contains STOP/stop.
void HPSORT(int n, int* keys, int* companions, int logUnit, std::string_view option);

// The contents of a field without leading and trailing blanks (a view into it).
std::string_view trimmed(std::string_view field);

// A text blank-padded (or cut) to a field of the given length.
std::string padded(std::string_view text, std::size_t length);

}  // namespace kova
