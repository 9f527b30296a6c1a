#pragma once
// The unit table: files opened by unit number, read and written as Fortran
// sequential files are.
//
// Formatted units hold text lines; a line is read as an 80-column field (a
// longer line is cut, a shorter one padded with blanks; a carriage return
// before the newline is dropped). Unformatted units hold records framed as
// gfortran frames them: a 4-byte little-endian byte count before and after
// the payload.
//
// Every call returns IOCOND: 0 for success, a positive value for an error
// (the operating system's error number where there is one), kEndOfFile at the
// end of a file. As with Fortran, writing a record makes it the last record
// of the file: anything after it is cut off.
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

namespace kova {

constexpr int kEndOfFile = -1;
constexpr int kRecordError = 5000;     // a damaged or mis-framed record
constexpr int kNotConnected = 5001;    // reading or writing a unit that is not open
constexpr int kWrongForm = 5002;       // a line operation on an unformatted unit or vice versa
constexpr int kBadSpecifier = 5003;    // an unknown form or status text
constexpr int kNotRegularFile = 5004;  // a scratch name held by a link, device or pipe
constexpr int kLineWidth = 80;

// Opens `fileName` (trailing blanks ignored) on `unit`, positioned at its
// start. `form` is FORMATTED or UNFORMATTED; `status` is OLD (the file must
// exist), NEW (it must not) or UNKNOWN (created when absent). Texts are
// compared without regard to case and trailing blanks. Opening a unit that
// is already open closes it first.
int openUnit(int unit, std::string_view fileName, std::string_view form,
             std::string_view status);

// Closes `unit` with status KEEP or DELETE. Closing a unit that is not open
// succeeds and does nothing, as in Fortran.
int closeUnit(int unit, std::string_view status);

// Positions `unit` at its first record. Rewinding a unit that is not open
// succeeds and does nothing.
int rewindUnit(int unit);

// Ends the file at the current position, as Fortran's ENDFILE does: every
// record after it is cut off.
int endFileUnit(int unit);

bool isUnitOpen(int unit);

// The file name of an open unit (empty when not open).
std::string unitFileName(int unit);

// Records read or written since the unit was opened or rewound: after
// reading line n of a file this is n, which messages quote.
long unitRecordNumber(int unit);

// Reads the next line as an 80-column field.
int readLine(int unit, std::string& line);

// Reads the next line in full, without cutting or padding (data files whose
// continuation lines may run past 80 columns).
int readFullLine(int unit, std::string& line);

// Writes one line.
int writeLine(int unit, std::string_view text);

// Writes one unformatted record of `count` bytes.
int writeRecord(int unit, const void* bytes, std::size_t count);

// Reads the next unformatted record into `payload`.
int readRecord(int unit, std::vector<unsigned char>& payload);

// Units now open.
int openUnitCount();

// Raises this process's soft limit on open files to its hard limit, as far as
// the system allows; a refusal leaves the limit as it was. The data set-up
// keeps several files of every group open at once, more than the common soft
// limit of 1024 allows with 150 groups.
void raiseOpenFileLimit();

// The limit on open files now in force (file descriptors, the three standard
// streams included), or -1 when it is unknown or unlimited.
long openFileLimit();

// Writes out what a unit holds in its buffer: a write error that the
// buffer has hidden so far shows here (0 for a unit held in memory or not
// open).
int flushUnit(int unit);

// This process's limit on its address space in bytes (ulimit -v), or -1
// when there is none: what a refused allocation is measured against.
long long addressSpaceLimit();

// Flushes every open unit (before a stop, so that everything written stays).
// Returns the IOCOND of the first unit whose flush fails, with its name in
// failedName, leaving out units whose write has already failed once.
int flushAllUnits(std::string* failedName = nullptr);

// Closes every open unit with status KEEP (end of a run, and between tests).
void closeAllUnits();

// Scratch files held in memory. A file whose name has been handed to
// holdInMemory lives in memory, not on disk, as long as no file or
// directory of that name exists on disk when it is opened and the files
// held stay within kMemoryBudget bytes (beyond it, new files go to disk):
// opening, rewinding, reading, writing, cutting and closing it (KEEP or
// DELETE) behave as for a file on disk, without a system call. A run keeps
// its scratch files there, so that the thousands it creates and deletes
// cost no inode work; spillMemoryFiles writes the ones still held to disk
// (on a stop, every scratch file the run has not deleted is there as it
// would have been), and empties the store. The budget holds for every
// write: a held file that a write would take past it is moved to disk,
// with its records, and stays there.
//
// Every held name is also a scratch name (declareScratch): the run's own
// file, which it may write and delete. A scratch name that the directory
// holds as a symbolic link, a device or a pipe is refused with
// kNotRegularFile, and scratch files are created and opened on disk (the
// spill included) without following a link, so that the run never writes
// outside its directory through one.
constexpr long long kMemoryBudget = 512LL * 1024 * 1024;
void holdInMemory(std::string_view fileName);
void declareScratch(std::string_view fileName);
// The budget in bytes (kMemoryBudget until set; the spill restores it).
void setMemoryBudget(long long bytes);
bool isHeldInMemory(std::string_view fileName);  // held, and now in memory
int spillMemoryFiles();

}  // namespace kova
