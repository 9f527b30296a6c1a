#include "io/fortran_io.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <map>
#include <memory>
#include <set>
#include <sys/resource.h>
#include <system_error>
#include <unistd.h>

namespace kova {
namespace {

constexpr std::size_t kTextBuffer = 256 * 1024;

// A file held in memory: its bytes, as they would stand on disk.
using MemoryFile = std::vector<unsigned char>;

struct MemoryStore {
  std::set<std::string> names;  // the names to hold
  std::set<std::string> scratch;  // the run's own names, held or not
  std::map<std::string, MemoryFile> files;
  long long bytes = 0;          // held in all files
  long long budget = kMemoryBudget;
};

MemoryStore& store() {
  static MemoryStore s;
  return s;
}

struct Unit {
  std::string name;
  std::filesystem::path path;  // absolute: later operations do not depend on the current directory
  std::FILE* file = nullptr;   // a file on disk, or
  MemoryFile* memory = nullptr;  // a file held in memory, read and written at pos
  std::size_t pos = 0;
  bool formatted = true;
  bool writing = false;  // the last operation was a write
  bool failed = false;   // a write or flush has failed (reported once)
  long records = 0;
  std::shared_ptr<char[]> buffer;  // stdio's buffer of a formatted file, freed after fclose
};

std::map<int, Unit>& units() {
  static std::map<int, Unit> table;
  return table;
}

std::string trimmedUpper(std::string_view text) {
  std::string out(text);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  return out;
}

std::string trimmedName(std::string_view name) {
  std::string out(name);
  while (!out.empty() && out.back() == ' ') out.pop_back();
  while (!out.empty() && out.front() == ' ') out.erase(out.begin());
  return out;
}

int osError() { return errno > 0 ? errno : kRecordError; }

Unit* find(int unit) {
  auto it = units().find(unit);
  return it == units().end() ? nullptr : &it->second;
}

// What stands on disk under a name, links not followed.
enum class OnDisk { Nothing, RegularFile, Directory, Other };

OnDisk onDisk(const std::string& name) {
  std::error_code ec;
  const std::filesystem::file_status st = std::filesystem::symlink_status(name, ec);
  if (ec || !std::filesystem::exists(st)) return OnDisk::Nothing;
  if (std::filesystem::is_regular_file(st)) return OnDisk::RegularFile;
  if (std::filesystem::is_directory(st)) return OnDisk::Directory;
  return OnDisk::Other;
}

// Opens a scratch file on disk for reading and writing without following a
// link: the run writes only inside its directory. `create` makes it (it must
// not exist) or, without it, opens the existing regular file.
std::FILE* openScratchOnDisk(const std::string& name, bool create, bool truncate) {
  int flags = O_RDWR | O_NOFOLLOW | O_CLOEXEC;
  if (create) flags |= O_CREAT | O_EXCL;
  if (truncate) flags |= O_TRUNC;
  const int fd = ::open(name.c_str(), flags, 0666);
  if (fd < 0) return nullptr;
  std::FILE* file = ::fdopen(fd, create || truncate ? "w+b" : "r+b");
  if (!file) {
    const int err = errno;
    ::close(fd);
    errno = err;
  }
  return file;
}

// A text file's larger buffer (see openUnit).
void bufferText(Unit& u) {
  u.buffer.reset(new char[kTextBuffer]);
  std::setvbuf(u.file, u.buffer.get(), _IOFBF, kTextBuffer);
}

// Moves a held file to disk, as a file of its name that every unit on it
// then reads and writes at its position: a file that outgrows the budget.
// The bytes go out before stdio has the file, whose buffer must be set
// before its first operation.
int moveToDisk(Unit& u) {
  MemoryStore& held = store();
  MemoryFile* memory = u.memory;
  errno = 0;
  const int fd = ::open(u.name.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0666);
  if (fd < 0) return osError();
  for (std::size_t done = 0; done < memory->size();) {
    const ssize_t n = ::write(fd, memory->data() + done, memory->size() - done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) {
      const int iocond = osError();
      ::close(fd);
      ::unlink(u.name.c_str());
      return iocond;
    }
    done += static_cast<std::size_t>(n);
  }
  std::error_code pathError;
  const std::filesystem::path path = std::filesystem::absolute(u.name, pathError);
  int ownFd = fd;
  for (auto& [number, other] : units()) {
    if (other.memory != memory) continue;
    if (ownFd < 0) ownFd = ::open(other.name.c_str(), O_RDWR | O_NOFOLLOW | O_CLOEXEC);
    std::FILE* own = ownFd < 0 ? nullptr : ::fdopen(ownFd, "r+b");
    if (!own) return osError();
    ownFd = -1;
    other.file = own;
    other.memory = nullptr;
    if (other.formatted) bufferText(other);
    if (std::fseek(own, static_cast<long>(other.pos), SEEK_SET) != 0) return osError();
    other.path = pathError ? std::filesystem::path(other.name) : path;
  }
  held.bytes -= static_cast<long long>(memory->size());
  held.files.erase(u.name);
  return 0;
}

// Makes room for `count` more bytes of a held file: a file that would take
// the store past its budget goes to disk.
int reserveMemory(Unit& u, std::size_t count) {
  if (store().bytes + static_cast<long long>(count) <= store().budget) return 0;
  return moveToDisk(u);
}

// Resizes a held file, keeping the store's count.
void resizeMemory(Unit& u, std::size_t size) {
  store().bytes += static_cast<long long>(size) - static_cast<long long>(u.memory->size());
  u.memory->resize(size);
}

// Before the first write after a read, an open or a rewind, cut the file at
// the current position: the record written becomes the last one.
int prepareWrite(Unit& u) {
  if (u.writing) return 0;
  if (u.memory) {
    if (u.memory->size() > u.pos) resizeMemory(u, u.pos);
    u.writing = true;
    return 0;
  }
  long pos = std::ftell(u.file);
  if (pos < 0 || std::fseek(u.file, 0, SEEK_END) != 0) return osError();
  long end = std::ftell(u.file);
  if (end > pos) {
    std::fflush(u.file);
    std::error_code ec;
    std::filesystem::resize_file(u.path, static_cast<std::uintmax_t>(pos), ec);
    if (ec) return ec.value() > 0 ? ec.value() : kRecordError;
  }
  if (std::fseek(u.file, pos, SEEK_SET) != 0) return osError();
  u.writing = true;
  return 0;
}

// Appends to a held file at its end (prepareWrite has cut it there).
void appendMemory(Unit& u, const void* bytes, std::size_t count) {
  const auto* b = static_cast<const unsigned char*>(bytes);
  u.memory->insert(u.memory->end(), b, b + count);
  store().bytes += static_cast<long long>(count);
  u.pos = u.memory->size();
}

// Reads count bytes of a held file at pos; false at its end.
bool readMemory(Unit& u, void* bytes, std::size_t count) {
  if (u.memory->size() - u.pos < count) return false;
  std::memcpy(bytes, u.memory->data() + u.pos, count);
  u.pos += count;
  return true;
}

int prepareRead(Unit& u) {
  if (!u.writing) return 0;
  if (u.memory) {
    u.writing = false;
    return 0;
  }
  // stdio needs a positioning call between a write and a read.
  if (std::fseek(u.file, 0, SEEK_CUR) != 0) return osError();
  u.writing = false;
  return 0;
}

}  // namespace

int openUnit(int unit, std::string_view fileName, std::string_view form,
             std::string_view status) {
  std::string f = trimmedUpper(form);
  std::string s = trimmedUpper(status);
  bool formatted;
  if (f == "FORMATTED") {
    formatted = true;
  } else if (f == "UNFORMATTED") {
    formatted = false;
  } else {
    return kBadSpecifier;
  }
  if (s != "OLD" && s != "NEW" && s != "UNKNOWN") return kBadSpecifier;
  std::string name = trimmedName(fileName);
  if (name.empty()) return ENOENT;
  if (find(unit)) closeUnit(unit, "KEEP");

  std::error_code ec;
  MemoryStore& held = store();
  auto heldFile = held.files.find(name);
  // A file held in memory is not looked for on disk again: the disk is
  // asked only when a held name is first created.
  const bool scratch = held.scratch.count(name) != 0;
  const OnDisk there = heldFile == held.files.end() ? onDisk(name) : OnDisk::Nothing;
  // A scratch name must not lead out of the directory: a link or a device
  // left under it is refused, not written through.
  if (scratch && there == OnDisk::Other) return kNotRegularFile;
  bool exists = scratch ? there != OnDisk::Nothing
                        : heldFile == held.files.end() && std::filesystem::exists(name, ec);
  if (!exists &&
      (heldFile != held.files.end() || (held.names.count(name) != 0 && held.bytes < held.budget))) {
    if (s == "OLD" && heldFile == held.files.end()) return ENOENT;
    if (s == "NEW" && heldFile != held.files.end()) return EEXIST;
    if (heldFile == held.files.end()) heldFile = held.files.emplace(name, MemoryFile{}).first;
    Unit u;
    u.name = name;
    u.path = name;
    u.memory = &heldFile->second;
    u.formatted = formatted;
    units()[unit] = u;
    return 0;
  }
  if (s == "OLD" && !exists) return ENOENT;
  if (s == "NEW" && exists) return EEXIST;
  if (exists && std::filesystem::is_directory(name, ec)) return EISDIR;

  errno = 0;
  std::FILE* file = nullptr;
  if (scratch) {
    file = openScratchOnDisk(name, !exists, false);
    if (!file && exists && errno == EACCES) {
      const int fd = ::open(name.c_str(), O_RDONLY | O_NOFOLLOW | O_CLOEXEC);
      file = fd < 0 ? nullptr : ::fdopen(fd, "rb");
    }
  } else if (exists) {
    file = std::fopen(name.c_str(), "r+b");
    // A file we may only read (an input file) is opened read-only.
    if (!file && (errno == EACCES || errno == EROFS)) file = std::fopen(name.c_str(), "rb");
  } else {
    file = std::fopen(name.c_str(), "w+b");
  }
  if (!file) return osError();
  // The report and the log take many megabytes of short lines: a larger
  // buffer saves most of the system calls. It is ours (glibc ignores the
  // size when it allocates the buffer itself) and lives as long as the unit.
  Unit u;
  u.file = file;
  try {
    if (formatted) bufferText(u);
  } catch (...) {
    std::fclose(file);
    throw;
  }
  std::error_code pathError;
  std::filesystem::path path = std::filesystem::absolute(name, pathError);
  u.name = name;
  u.path = pathError ? std::filesystem::path(name) : path;
  u.file = file;
  u.formatted = formatted;
  units()[unit] = u;
  return 0;
}

int closeUnit(int unit, std::string_view status) {
  std::string s = trimmedUpper(status);
  if (s != "KEEP" && s != "DELETE" && !s.empty()) return kBadSpecifier;
  Unit* u = find(unit);
  if (!u) return 0;
  if (u->memory) {
    if (s == "DELETE") {
      store().bytes -= static_cast<long long>(u->memory->size());
      store().files.erase(u->name);
    }
    units().erase(unit);
    return 0;
  }
  int iocond = 0;
  if (std::fclose(u->file) != 0) iocond = osError();
  if (s == "DELETE") {
    std::error_code ec;
    std::filesystem::remove(u->path, ec);
    if (ec && iocond == 0) iocond = ec.value() > 0 ? ec.value() : kRecordError;
  }
  units().erase(unit);
  return iocond;
}

int rewindUnit(int unit) {
  Unit* u = find(unit);
  if (!u) return 0;
  if (u->memory) {
    u->pos = 0;
  } else {
    std::fflush(u->file);
    if (std::fseek(u->file, 0, SEEK_SET) != 0) return osError();
  }
  u->writing = false;
  u->records = 0;
  return 0;
}

int endFileUnit(int unit) {
  Unit* u = find(unit);
  if (!u) return kNotConnected;
  u->writing = false;
  return prepareWrite(*u);
}

bool isUnitOpen(int unit) { return find(unit) != nullptr; }

std::string unitFileName(int unit) {
  Unit* u = find(unit);
  return u ? u->name : std::string();
}

long unitRecordNumber(int unit) {
  Unit* u = find(unit);
  return u ? u->records : 0;
}

int readLine(int unit, std::string& line) {
  int iocond = readFullLine(unit, line);
  if (iocond == 0) line.resize(kLineWidth, ' ');
  return iocond;
}

int readFullLine(int unit, std::string& line) {
  Unit* u = find(unit);
  if (!u) return kNotConnected;
  if (!u->formatted) return kWrongForm;
  if (int rc = prepareRead(*u)) return rc;
  line.clear();
  if (u->memory) {
    const MemoryFile& m = *u->memory;
    if (u->pos >= m.size()) return kEndOfFile;
    while (u->pos < m.size() && m[u->pos] != '\n') line.push_back(static_cast<char>(m[u->pos++]));
    if (u->pos < m.size()) ++u->pos;
    if (!line.empty() && line.back() == '\r') line.pop_back();
    ++u->records;
    return 0;
  }
  int c = std::fgetc(u->file);
  if (c == EOF) return std::ferror(u->file) ? osError() : kEndOfFile;
  while (c != EOF && c != '\n') {
    line.push_back(static_cast<char>(c));
    c = std::fgetc(u->file);
  }
  if (!line.empty() && line.back() == '\r') line.pop_back();
  ++u->records;
  return 0;
}

int writeLine(int unit, std::string_view text) {
  Unit* u = find(unit);
  if (!u) return kNotConnected;
  if (!u->formatted) return kWrongForm;
  if (int rc = prepareWrite(*u)) return rc;
  if (u->memory) {
    if (int rc = reserveMemory(*u, text.size() + 1)) return rc;
  }
  if (u->memory) {
    appendMemory(*u, text.data(), text.size());
    appendMemory(*u, "\n", 1);
    ++u->records;
    return 0;
  }
  if (std::fwrite(text.data(), 1, text.size(), u->file) != text.size() ||
      std::fputc('\n', u->file) == EOF) {
    u->failed = true;
    return osError();
  }
  ++u->records;
  return 0;
}

namespace {
void putLength(unsigned char* out, std::uint32_t n) {
  for (int i = 0; i < 4; ++i) out[i] = static_cast<unsigned char>(n >> (8 * i));
}
std::uint32_t getLength(const unsigned char* in) {
  std::uint32_t n = 0;
  for (int i = 0; i < 4; ++i) n |= static_cast<std::uint32_t>(in[i]) << (8 * i);
  return n;
}
}  // namespace

int writeRecord(int unit, const void* bytes, std::size_t count) {
  Unit* u = find(unit);
  if (!u) return kNotConnected;
  if (u->formatted) return kWrongForm;
  if (count > 0x7fffffffu) return kRecordError;
  if (int rc = prepareWrite(*u)) return rc;
  unsigned char marker[4];
  putLength(marker, static_cast<std::uint32_t>(count));
  if (u->memory) {
    if (int rc = reserveMemory(*u, count + 8)) return rc;
  }
  if (u->memory) {
    appendMemory(*u, marker, 4);
    if (count > 0) appendMemory(*u, bytes, count);
    appendMemory(*u, marker, 4);
    ++u->records;
    return 0;
  }
  if (std::fwrite(marker, 1, 4, u->file) != 4 ||
      (count > 0 && std::fwrite(bytes, 1, count, u->file) != count) ||
      std::fwrite(marker, 1, 4, u->file) != 4) {
    u->failed = true;
    return osError();
  }
  ++u->records;
  return 0;
}

int readRecord(int unit, std::vector<unsigned char>& payload) {
  Unit* u = find(unit);
  if (!u) return kNotConnected;
  if (u->formatted) return kWrongForm;
  if (int rc = prepareRead(*u)) return rc;
  unsigned char marker[4];
  if (u->memory) {
    if (u->pos >= u->memory->size()) return kEndOfFile;
    if (!readMemory(*u, marker, 4)) return kRecordError;
    std::uint32_t n = getLength(marker);
    if (n > 0x7fffffffu) return kRecordError;
    payload.resize(n);
    if (!readMemory(*u, payload.data(), n) || !readMemory(*u, marker, 4) ||
        getLength(marker) != n)
      return kRecordError;
    ++u->records;
    return 0;
  }
  std::size_t got = std::fread(marker, 1, 4, u->file);
  if (got == 0) return std::ferror(u->file) ? osError() : kEndOfFile;
  if (got != 4) return kRecordError;
  std::uint32_t n = getLength(marker);
  if (n > 0x7fffffffu) return kRecordError;  // continued subrecords are never written here
  payload.resize(n);
  if (n > 0 && std::fread(payload.data(), 1, n, u->file) != n) return kRecordError;
  if (std::fread(marker, 1, 4, u->file) != 4 || getLength(marker) != n) return kRecordError;
  ++u->records;
  return 0;
}

int openUnitCount() { return static_cast<int>(units().size()); }

void raiseOpenFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == limit.rlim_max) return;
  limit.rlim_cur = limit.rlim_max;
  ::setrlimit(RLIMIT_NOFILE, &limit);
}

long openFileLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<long>(limit.rlim_cur);
}

long long addressSpaceLimit() {
  rlimit limit{};
  if (::getrlimit(RLIMIT_AS, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY) return -1;
  return static_cast<long long>(limit.rlim_cur);
}

int flushUnit(int unit) {
  Unit* u = find(unit);
  if (!u || !u->file) return 0;
  errno = 0;
  if (std::fflush(u->file) == 0) return 0;
  u->failed = true;
  return osError();
}

int flushAllUnits(std::string* failedName) {
  int first = 0;
  for (auto& [number, u] : units()) {
    if (!u.file) continue;
    const bool reported = u.failed;
    errno = 0;
    if (std::fflush(u.file) == 0 || reported || first != 0) continue;
    u.failed = true;
    first = osError();
    if (failedName) *failedName = u.name;
  }
  return first;
}

void closeAllUnits() {
  for (auto& [number, u] : units())
    if (u.file) std::fclose(u.file);
  units().clear();
}

void holdInMemory(std::string_view fileName) {
  store().names.insert(trimmedName(fileName));
  declareScratch(fileName);
}

void declareScratch(std::string_view fileName) { store().scratch.insert(trimmedName(fileName)); }

void setMemoryBudget(long long bytes) { store().budget = bytes; }

bool isHeldInMemory(std::string_view fileName) {
  return store().files.count(trimmedName(fileName)) != 0;
}

int spillMemoryFiles() {
  MemoryStore& held = store();
  int iocond = 0;
  for (const auto& [name, bytes] : held.files) {
    // Never through a link: whatever stands under the name now, only a
    // regular file of the directory is replaced.
    errno = 0;
    std::FILE* f = onDisk(name) == OnDisk::Other ? nullptr : openScratchOnDisk(name, false, true);
    if (!f && errno == ENOENT) f = openScratchOnDisk(name, true, false);
    if (!f) {
      if (iocond == 0) iocond = osError();
      continue;
    }
    if (!bytes.empty() && std::fwrite(bytes.data(), 1, bytes.size(), f) != bytes.size() &&
        iocond == 0)
      iocond = osError();
    if (std::fclose(f) != 0 && iocond == 0) iocond = osError();
  }
  held.files.clear();
  held.names.clear();
  held.scratch.clear();
  held.bytes = 0;
  held.budget = kMemoryBudget;
  return iocond;
}

}  // namespace kova
