#pragma once
// PI under inequality restrictions (INEQPI) and the agreement check of its
// estimate with the equality-restricted one (CMPPIV).
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

// INEQPI: EIPIVC, the generalized least-squares estimate of PI on
// y = XZ PIVECT + disturbance of covariance SIGMA**2 UYSGMA'UYSGMA, under
// the working restriction: rows 1..NEQPIC of workR (K*P columns) with
// workRhs are equalities, rows NEQPIC+1..SPIROW inequalities
// row . PIVECT >= right-hand side. UYSGMA (NUMT x NUMT) may be any square
// factor of YSIGMA; every element is read.
//
// The covariance is removed through the singular value decomposition of
// UYSGMA' (DCF), which turns the problem into least squares under linear
// constraints, solved by QDBVLS. Then every inequality that EIPIVC meets
// (|v - d| <= 1.0E-10 |d|, or |v| <= 1.0E-10 when d = 0, with v the row
// times EIPIVC and d its right-hand side, a miss within the rounding of the
// row's terms also counting as met) is converted: it is copied, in order,
// behind the equality rows of workR and workRhs, SPIROW becomes NEQPIC plus
// the number converted, `converted` returns that number, and its counter in
// attained (one per inequality row, cleared on pass 0) goes up by 1. The
// other inequality rows are dropped from the working copy for this pass.
//
// Restrictions that no PI meets (QDBVLS found them inconsistent): a message
// naming the group goes to outUnit, logUnit and the console, no inequality
// is converted (SPIROW = NEQPIC) and EIPIVC is QDBVLS's estimate under the
// nearest achievable right-hand sides; the run goes on.
// A failed decomposition stops the run ("SINGULAR VALUE DECOMPOSITION IN
// SUBROUTINE DCF HAS BEEN UNSUCCESSFUL.  PROGRAM STOPS"), as do the stop
// statuses of QDBVLS.
// Group 17 on pass 1 writes its inputs, the QDBVLS results and the converted
// rows to INEQPI.OUT (unit 888), which it leaves in the working directory.
void INEQPI(int pass, int groupId, const double* y, Mat XZ, Mat uysgma, Mat workR,
            double* workRhs, int& SPIROW, int NEQPIC, int& converted, double* EIPIVC,
            int* attained, Scratch& s, int outUnit, int logUnit);

// Scratch of INEQPI for NUMT periods, K*P coefficients and `rows` PI
// restriction rows (all of them: NEQPIC only splits them).
ScratchNeed INEQPIneed(int NUMT, int KP, int rows);

// CMPPIV: with d = ||EIPIVC - PIVECT||, writes a blank line and
// "EIPIVC AND PIVECT ARE SUFFICIENTLY CLOSE TO BE CONSIDERED NUMERICALLY
// EQUAL." when 1.0E-8 sqrt(||EIPIVC|| ||PIVECT||) >= d, else "EIPIVC AND
// PIVECT ARE NOT SUFFICIENTLY CLOSE TO BE CONSIDERED NUMERICALLY EQUAL", to
// outUnit. Returns whether they were found equal.
bool CMPPIV(const double* EIPIVC, const double* PIVECT, int n, int outUnit);

}  // namespace kova
