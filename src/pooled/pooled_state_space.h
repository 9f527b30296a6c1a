#pragma once
// The pooled phase's products with Omega_g = X_g' DELTA_MU X_g + SIGMA**2_g
// YSIGMA_g for a group whose passes ran on the state-space engine, in time
// and memory linear in its periods. Omega_g is the covariance of the
// observations [x~(t); x(t)]' [SIGMA EPSILON(t); eta_g] of a state-space
// model whose state carries the group's random part EPSILON(t) (scaled by
// SIGMA) and its constant deviation eta_g (covariance DELTA_MU, no
// disturbance). The group's file YSIGFCTR holds the model of its last pass
// and its filter (PHI, Q, P1, then the innovation variances and gains).
#include "io/file_table.h"
#include "linalg/scratch.h"
#include "linalg/views.h"
#include "pooled/pooled_derivations.h"

namespace kova {

// rhs (T x nc) := Omega^+ rhs, the Moore-Penrose inverse: with the filter of
// the augmented model, Omega = L D L', G = L^-T D^+ L^-1 is an inverse of
// Omega on its range, and Omega^+ = P G P with P the orthogonal projector
// on that range (the complement of the directions L^-T e_t of the exact
// observations t, those of zero innovation variance). X is K x T, L the
// L-matrix (K x M), uMu the factor of DELTA_MU. Returns the rank of Omega.
int omegaPseudoInverseStateSpace(const PooledGroup& grp, const FileTable& files, Mat X, Mat L,
                                 Mat uMu, Mat rhs, Scratch s, int logUnit);
ScratchNeed omegaPseudoInverseStateSpaceNeed(int T, int K, int M, int nc, int exact);

// EPSILON(:,t) = sum over s of C(t,s) TLX(:,s) u(s), with C(t,s) =
// cov(EPSILON(t), EPSILON(s)) of the stationary model of the group's last
// pass (PHI and GAMMA from YSIGFCTR), by one sweep each way.
void pooledEpsilonStateSpace(const PooledGroup& grp, const FileTable& files, Mat tlx,
                             const double* u, Mat eps, Scratch s, int logUnit);
ScratchNeed pooledEpsilonStateSpaceNeed(int T, int M);

}  // namespace kova
