#pragma once
// Helpers for writing messages to units and to the console. A message to a
// unit that is not open is dropped (a Fortran program would quietly create a
// stray file for it).
#include <string>
#include <string_view>

namespace kova {

// Writes one line to a unit if it is open. A line that cannot be written
// (a full disk, a device that refuses it) ends the run: the report or the
// log would be lost while the run reported success. The message names the
// file and goes to the console (standard error when the console cannot
// take it either).
void writeUnit(int unit, std::string_view line);

// Writes one line to the unit, then to the console; a failed write stops
// the run after the console has the line.
void writeUnitAndConsole(int unit, std::string_view line);

// Writes an empty line and the message, to the unit and then to the
// console; a failed write stops the run after the console has the message.
void reportToUnitAndConsole(int unit, std::string_view message);

// " ERROR IN WRITING FILE name, WITH IOCOND = n (reason).  PROGRAM STOPS."
std::string writeFailureText(std::string_view fileName, int iocond);
// Writes that text to the console (or standard error); the caller stops.
void reportWriteFailure(std::string_view fileName, int iocond);

// Option rules shared by the services. The open, close and rewind services and
// the error reporter look for the words anywhere in the option; the number
// conversions compare the option's first eight characters exactly.
bool optionHasContinue(std::string_view option);
bool optionHasStop(std::string_view option);
bool optionIsExactlyContinue(std::string_view option);


}  // namespace kova
