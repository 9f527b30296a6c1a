#include "io/text_conversion.h"

#include <algorithm>
#include <climits>
#include <utility>

#include "io/console.h"
#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "io/stop.h"

namespace kova {

int leftAdjust(std::string& field) {
  std::size_t first = field.find_first_not_of(' ');
  if (first == std::string::npos) return 0;
  std::size_t last = field.find_last_not_of(' ');
  std::size_t length = last - first + 1;
  if (first > 0) {
    field.replace(0, length, field, first, length);
    std::fill(field.begin() + static_cast<long>(length), field.end(), ' ');
  }
  return static_cast<int>(length);
}

bool isEndOfData(std::string_view field) {
  auto has = [&](std::string_view upper, std::string_view lower) {
    return field.find(upper) != std::string_view::npos ||
           field.find(lower) != std::string_view::npos;
  };
  return has("END", "end") && has("OF", "of") && has("DATA", "data");
}

void centre(std::string& field) {
  int length = leftAdjust(field);
  int n = (static_cast<int>(field.size()) - length) / 2;
  if (n < 1) return;
  std::string contents = field.substr(0, length);
  field.assign(field.size(), ' ');
  field.replace(n, length, contents);
}

std::string_view trimmed(std::string_view field) {
  std::size_t first = field.find_first_not_of(' ');
  if (first == std::string_view::npos) return {};
  std::size_t last = field.find_last_not_of(' ');
  return field.substr(first, last - first + 1);
}

std::string padded(std::string_view text, std::size_t length) {
  std::string out(text.substr(0, length));
  out.resize(length, ' ');
  return out;
}

namespace {

// The caller text as the conversions print it: left-adjusted in a
// 130-character field and cut at its last non-blank character.
std::string callerText(std::string_view caller) {
  std::string field = padded(caller, 130);
  int length = leftAdjust(field);
  return field.substr(0, length);
}

struct ConversionWords {
  std::string_view routine;       // "CTI" or "CTODR"
  std::string_view blankContinue; // the all-blank message under continue
  std::string_view badContinue;   // the unacceptable-character message under continue
};

// Reports a failed conversion and stops or returns.
void conversionFailure(bool allBlank, const ConversionWords& words, int logUnit,
                       std::string_view caller, std::string_view option) {
  std::string head = " FROM " + callerText(caller) + ": ERROR IN SUBROUTINE";
  std::string message;
  bool goOn = optionIsExactlyContinue(option);
  if (allBlank) {
    message = goOn ? head + " " + std::string(words.routine) + "--ALL BLANKS IN STRING. " +
                         std::string(words.blankContinue)
                   : head + std::string(words.routine) + "--ALL BLANKS IN STRING.  PROGRAM STOPS.";
  } else {
    message = head + " " + std::string(words.routine) + "--UNACCEPTABLE CHARACTER IN STRING." +
              (goOn ? " " + std::string(words.badContinue) : std::string("  PROGRAM STOPS."));
  }
  reportToUnitAndConsole(logUnit, message);
  if (!goOn) stopRun();
}

const ConversionWords kCtiWords{"CTI", "I IS SET TO 0.  PROGRAM CONTINUES.",
                                "I IS SET TO 0.  PROGRAM CONTINUES."};
const ConversionWords kCtodrWords{"CTODR", "DREAL IS SET TO 0.  PROGRAM CONTINUES.",
                                  "DBREAL IS SET TO 0.  PROGRAMM CONTINUES."};

bool onlyAccepted(std::string_view text, std::string_view accepted) {
  return text.find_first_not_of(accepted) == std::string_view::npos;
}

}  // namespace

void CTI(std::string& field, int& value, int logUnit, std::string_view caller,
         std::string_view option) {
  int length = leftAdjust(field);
  if (length == 0) {
    value = 0;
    conversionFailure(true, kCtiWords, logUnit, caller, option);
    return;
  }
  std::string_view text(field.data(), static_cast<std::size_t>(length));
  long long number = 0;
  // Text made of accepted characters that is still not a number (a lone
  // sign, a sign after a digit) is reported as an unacceptable character,
  // and so is a number beyond the integer range.
  if (!onlyAccepted(text, " +-0123456789") || !readIntegerField(text, number) ||
      number < INT_MIN || number > INT_MAX) {
    value = 0;
    conversionFailure(false, kCtiWords, logUnit, caller, option);
    return;
  }
  value = static_cast<int>(number);
}

void CTODR(std::string& field, double& value, int logUnit, std::string_view caller,
           std::string_view option) {
  int length = leftAdjust(field);
  if (length == 0) {
    value = 0.0;
    conversionFailure(true, kCtodrWords, logUnit, caller, option);
    return;
  }
  std::string_view text(field.data(), static_cast<std::size_t>(length));
  double number = 0.0;
  if (!onlyAccepted(text, " +-.ED0123456789") || !readRealField(text, number)) {
    value = 0.0;
    conversionFailure(false, kCtodrWords, logUnit, caller, option);
    return;
  }
  value = number;
}

void ICNVRT(std::string& field, int value, int logUnit, std::string_view option) {
  if (value < 0 || value > 999999999) {
    std::string line = " INTEGER I=" + editI(value, 10) + " IS NOT WITHIN CONVERSION RANGE";
    writeUnit(logUnit, "");
    consoleLine("");
    if (optionHasStop(option)) {
      writeUnitAndConsole(logUnit, line + " IN SUBROUTINE ICNVRT.  PROGRAM STOPS.");
      stopRun();
    }
    writeUnitAndConsole(logUnit, line + " IN SUBROUTINE ICNVRT.  NO CONVERSION IS PERFORMED.");
    writeUnitAndConsole(logUnit, " PROGRAM CONTINUES.");
    return;
  }
  std::string digits = std::to_string(value);
  std::fill(field.begin(), field.end(), ' ');
  field.replace(0, std::min(digits.size(), field.size()), digits, 0,
                std::min(digits.size(), field.size()));
}

namespace {
void swapEntries(int* keys, int* companions, int a, int b) {
  std::swap(keys[a], keys[b]);
  std::swap(companions[a], companions[b]);
}
}  // namespace

void HPSORT(int n, int* keys, int* companions, int logUnit, std::string_view option) {
  if (n < 1) {
    reportToUnitAndConsole(logUnit, " NDATA IN SUBROUTINE HPSORT IS NOT POSITIVE.");
    if (optionHasStop(option)) {
      reportToUnitAndConsole(logUnit, " PROGRAM STOPS.");
      stopRun();
    }
    reportToUnitAndConsole(logUnit, " NO SORTING IS PERFORMED.  PROGRAM CONTINUES");
    writeUnitAndConsole(logUnit, "");
    return;
  }
  // Heap positions are 1-based: the children of i are 2i and 2i + 1.
  auto key = [&](int i) { return keys[i - 1]; };
  for (int i = 2; i <= n; ++i) {
    for (int child = i; child > 1 && key(child / 2) < key(child); child /= 2)
      swapEntries(keys, companions, child / 2 - 1, child - 1);
  }
  for (int last = n; last >= 2; --last) {
    swapEntries(keys, companions, 0, last - 1);
    int parent = 1;
    int size = last - 1;
    while (2 * parent <= size) {
      int child = 2 * parent;
      if (child + 1 <= size && key(child + 1) > key(child)) ++child;
      if (!(key(parent) < key(child))) break;
      swapEntries(keys, companions, parent - 1, child - 1);
      parent = child;
    }
  }
}

}  // namespace kova
