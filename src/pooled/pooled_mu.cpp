#include "pooled/pooled_mu.h"

#include <algorithm>

#include "engine/pass_engine.h"

namespace kova {
namespace {

struct DltmupWork {
  Mat design;
  double *h, *c;
};

DltmupWork carveWork(Scratch& s, int NUMT, int n) {
  DltmupWork w;
  w.design = s.mat(NUMT, n);
  w.h = s.doubles(NUMT);
  w.c = s.doubles(n);
  return w;
}

// The group's MU-vector into mu (K).
void muVector(const MuVectorInputs& in, const MuAccumulators& acc, Scratch& s, double* mu,
              int outUnit) {
  const int NUMT = in.xz.rows, KP = acc.KP, n = acc.n, M = in.tlx.rows;
  DltmupWork w = carveWork(s, NUMT, n);
  for (int t = 1; t <= NUMT; ++t) {
    double h = 0.0;
    for (int i = 1; i <= M; ++i) h += in.tlx(i, t) * in.epsilon(i, t);
    w.h[t - 1] = h;
  }
  for (int j = 1; j <= n; ++j)
    for (int t = 1; t <= NUMT; ++t) {
      double sum = 0.0;
      for (int l = 1; l <= KP; ++l) sum += in.xz(t, l) * acc.C(j, l);
      w.design(t, j) = sum;
    }
  in.engine->regress(w.design, w.h, w.c, s.rest(), outUnit);

  for (int i = 1; i <= acc.K; ++i) {
    double sum = in.PIVECT[i - 1];
    for (int j = 1; j <= n; ++j) sum += acc.C(j, i) * w.c[j - 1];
    mu[i - 1] = sum;
  }
}

}  // namespace

ScratchNeed DLTMUPneed(int NUMT, int K, int n) {
  Scratch s;
  s.doubles(K);
  carveWork(s, NUMT, n);
  return s.used();
}

void DLTMUP(int g, int NG, const MuVectorInputs& in, MuAccumulators& acc, Scratch s,
            int outUnit) {
  if (!acc.active || NG < 2) return;
  const int K = acc.K;
  if (g == 1) {
    for (int j = 1; j <= K; ++j) {
      acc.s1[j - 1] = 0.0;
      for (int i = 1; i <= K; ++i) acc.S2(i, j) = acc.S3(i, j) = 0.0;
    }
  }
  double* mu = s.doubles(K);
  muVector(in, acc, s, mu, outUnit);
  for (int j = 1; j <= K; ++j) {
    acc.s1[j - 1] += mu[j - 1];
    for (int i = 1; i <= K; ++i) {
      acc.S2(i, j) += mu[i - 1] * mu[j - 1];
      acc.S3(i, j) += in.cov(i, j);
    }
  }
  if (g != NG) return;
  const double ng = NG;
  for (int j = 1; j <= K; ++j)
    for (int i = 1; i <= K; ++i)
      acc.result(i, j) = (acc.S2(i, j) - acc.s1[i - 1] * acc.s1[j - 1] / ng) / (ng - 1.0) -
                         acc.S3(i, j) / ng;
}

}  // namespace kova
