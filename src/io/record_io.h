#pragma once
// Typed unformatted records: one record of n doubles or n integers, written
// and read as a Fortran WRITE/READ of an array does (native little-endian
// REAL*8 and INTEGER*4 values inside the gfortran frame).
//
// Reading takes the first n values of the record; a record that holds fewer
// than n values is an error (kRecordError), as it is for a Fortran READ.
#include <vector>

namespace kova {

int writeDoubles(int unit, const double* values, int n);
int readDoubles(int unit, double* values, int n);
int writeInts(int unit, const int* values, int n);
int readInts(int unit, int* values, int n);

}  // namespace kova
