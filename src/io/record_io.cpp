#include "io/record_io.h"

#include <cstring>

#include "io/fortran_io.h"

namespace kova {
namespace {

template <typename T>
int readValues(int unit, T* values, int n) {
  thread_local std::vector<unsigned char> payload;
  int iocond = readRecord(unit, payload);
  if (iocond != 0) return iocond;
  std::size_t bytes = static_cast<std::size_t>(n > 0 ? n : 0) * sizeof(T);
  if (payload.size() < bytes) return kRecordError;
  if (bytes > 0) std::memcpy(values, payload.data(), bytes);
  return 0;
}

}  // namespace

int writeDoubles(int unit, const double* values, int n) {
  return writeRecord(unit, values, static_cast<std::size_t>(n > 0 ? n : 0) * sizeof(double));
}

int readDoubles(int unit, double* values, int n) { return readValues(unit, values, n); }

int writeInts(int unit, const int* values, int n) {
  return writeRecord(unit, values, static_cast<std::size_t>(n > 0 ? n : 0) * sizeof(int));
}

int readInts(int unit, int* values, int n) { return readValues(unit, values, n); }

}  // namespace kova
