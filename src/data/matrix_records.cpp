#include "data/matrix_records.h"

#include <cstring>
#include <vector>

#include "io/fortran_io.h"
#include "io/record_io.h"

namespace kova {
namespace {

// Packing buffer for a matrix whose leading dimension exceeds its rows; it
// grows to the largest such matrix once and is reused.
std::vector<double>& packBuffer() {
  thread_local std::vector<double> buffer;
  return buffer;
}

}  // namespace

int writeMatrixRecord(int unit, Mat a) {
  const long n = static_cast<long>(a.rows) * a.cols;
  if (n <= 0) return writeDoubles(unit, nullptr, 0);
  if (a.ld == a.rows) return writeDoubles(unit, a.p, static_cast<int>(n));
  std::vector<double>& b = packBuffer();
  if (static_cast<long>(b.size()) < n) b.resize(n);
  for (int j = 1; j <= a.cols; ++j)
    std::memcpy(b.data() + static_cast<long>(j - 1) * a.rows, a.col(j), sizeof(double) * a.rows);
  return writeDoubles(unit, b.data(), static_cast<int>(n));
}

int readMatrixRecord(int unit, Mat a) {
  thread_local std::vector<unsigned char> payload;
  int iocond = readRecord(unit, payload);
  if (iocond != 0) return iocond;
  const std::size_t n = static_cast<std::size_t>(a.rows) * a.cols;
  if (payload.size() != n * sizeof(double)) return kRecordError;
  for (int j = 1; j <= a.cols; ++j)
    std::memcpy(a.col(j), payload.data() + sizeof(double) * a.rows * (j - 1),
                sizeof(double) * a.rows);
  return 0;
}

}  // namespace kova
