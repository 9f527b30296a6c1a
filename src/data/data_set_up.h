#pragma once
// SETDAT: the data set-up. Reads every data file once, a block of records at
// a time, and routes each record to its group's scratch files (estimation
// records to YDATA/XDATA/ZDATA, forecast records to YFCAST/XFCAST/ZFCAST);
// reads or generates the L-matrix; copies the user's starting PHI, SIGMA**2
// and DELTA to every group; reads the three restrictions; and checks every
// group's record counts against the key file.
#include <array>
#include <span>
#include <string>
#include <vector>

#include "data/restrictions.h"
#include "linalg/views.h"
#include "io/file_table.h"
#include "input/group_table.h"

namespace kova {

struct DataSetUpSettings {
  int N = 0;  // data records of all groups
  int K = 0, P = 0, M = 0;
  int width = 0;  // w, the width of every field
  bool leadingOnes = true;
  char zSource = ' ', lSource = ' ', phiSource = ' ', deltaSource = ' ';  // 'U' = user's file
  bool diagonalPhi = false, diagonalDelta = false;
  int phiRows = 0, piRows = 0, deltaRows = 0;
  int iterations = 0;  // the run-wide default of every group's MAXITG
  int blockRecords = 200;
};

// The key table as the data set-up sees it. DKEY and DPOINT are used as
// scratch storage and restored before SETDAT returns.
struct KeyArrays {
  int* DKEY = nullptr;
  int* DPOINT = nullptr;
  std::span<const std::array<char, 2>> YFOPTS;  // in file order
};

// Arrays of the program region planned for the set-up.
struct DataSetUpArrays {
  double* yBlock = nullptr;  // B values
  Mat xBlock;                // K x B
  Mat zBlock;                // P x B
  Mat L;                     // K x M
  Mat phi;                   // M x M, the user's starting PHI
  Mat delta;                 // M x M, the user's starting DELTA
};

struct VariableNames {
  std::string y;               // 80-character fields
  std::vector<std::string> x;  // K names
  std::vector<std::string> z;  // P names
};

// Largest K and P that the fixed arrays of the set-up hold: the x and z
// blocks have 60 rows, the L-matrix array 30.
constexpr int kBlockRows = 60;
constexpr int kLMatrixRows = 30;

void SETDAT(const DataSetUpSettings& settings, const KeyArrays& keys, GroupTable& groups, int NG,
            const FileTable& files, DataSetUpArrays& arrays, Restrictions& restrictions,
            VariableNames& names, bool& dataReady, bool& restrictionsReady, int logUnit);

// The length of the restricted parameter vector of each restriction.
int phiRestrictionColumns(int M, bool diagonal);
int piRestrictionColumns(int K, int P);
int deltaRestrictionColumns(int M, bool diagonal);

}  // namespace kova
