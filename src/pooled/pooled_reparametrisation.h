#pragma once
// ORCRRP: the reparametrisation that removes equality restrictions R PI = r
// from the pooled PI vector (K*P elements, column by column):
//   PI = d + C' theta,  theta free,
// with the rows of C an orthonormal basis of the null space of R and
// d = R'(RR')^-1 r, the minimum-norm solution of R PI = r (for R of full row
// rank; otherwise the minimum-norm least-squares solution on R's numerical
// range).
//
// The numerical rank a is the number of singular values s(i) >= 1.0E-14 s(1)
// (0 when s(1) <= 0). Without rows, or with rank 0, C = I and d = 0.
// Stops the run when K or P is below 1, when the row count is negative or
// above K*P, and when the rank is K*P (the restrictions fix PI, nothing is
// left to pool). A rank below the row count and a nonzero DSVDC status are
// written to the log unit and the computation goes on.
#include "linalg/scratch.h"
#include "linalg/views.h"

namespace kova {

struct PiReparametrisation {
  Mat C;               // out: n x KP; the caller sets p and ld (ld >= KP)
  double* d = nullptr; // out: KP
  int n = 0;           // out: rows of C, the free coefficients KP - rank
  int rank = 0;        // out: numerical rank of R
  bool noRows = false; // out: there were no restriction rows
};

// R: rows x KP (rows may be 0), r: rows values. Only read.
void ORCRRP(Mat R, const double* r, int rows, int K, int P, PiReparametrisation& out, Scratch s,
            int logUnit);
ScratchNeed ORCRRPneed(int rows, int KP);

}  // namespace kova
