#pragma once
// Machine constants for the eigen routines. They are fixed values, not
// measured on the running machine, so that results do not depend on where
// the program runs.
//
// DMACH(1) returns the relative precision 1.6E-13 that HQR2 and TQL2 use as
// their convergence tolerance. DRADIX(1) returns the radix 16.0 that BALANC
// scales by. Any other JOB writes two lines to the console,
//   NO INFORMATION AVAILABLE FOR DMACH(<JOB>)
//   DMACH IS SET TO 16.0D-14 IN FUNCTION DMACH
// (likewise for DRADIX, "... IS SET TO 16.0D0 ..."), with JOB written as the
// Fortran edit descriptor I0 writes it, and returns the same value as JOB = 1.

namespace kova {

double DMACH(int job);
double DRADIX(int job);

}  // namespace kova
