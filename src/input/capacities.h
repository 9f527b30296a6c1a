#pragma once
// The run's fixed capacities, set before anything is read.

namespace kova {

struct Capacities {
  int wr = 6500000;         // doubles of the work array WR
  int wi = 45000;           // integers of WI
  int wc = 45000;           // double-complex values of WC
  int maxKeys = 12500;      // keys of the key file (length of DKEY and DPOINT)
  int maxGid = 150;         // largest group identifier, MAXGID
  int maxGroups = 150;      // distinct groups
  int optionGroups = 150;   // entries of the option-group table
  int phiRestrictions = 256;
  int piRestrictions = 256;
  int deltaRestrictions = 256;
};

// Capacities and fixed leading dimensions set after the key file is read.
struct SecondCapacities {
  int blockRecords = 200;   // data records the data set-up holds at once
  int ldXBlock = 60;
  int ldZBlock = 60;
  int ldLMatrix = 30;
  int ldRestrictions = 256;
  int ldPooledPi = 200;
  int ldPooled = 60;
  int muAdjustFixed = 20;
  int ldPooledEstimates = 60;
};

}  // namespace kova
