#include "estimation/innovation_diagnostics.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "io/edit_descriptors.h"
#include "io/messages.h"
#include "linalg/state_space.h"

namespace kova {
namespace {

// Q(a, x) by the series of P(a, x) below a + 1 and by the continued
// fraction of Q (modified Lentz) above (Abramowitz and Stegun 6.5.29 and
// 6.5.31).
double upperGamma(double a, double x) {
  if (x <= 0.0) return 1.0;
  const double logPrefix = a * std::log(x) - x - std::lgamma(a);
  if (x < a + 1.0) {
    double term = 1.0 / a, sum = term;
    for (int k = 1; k < 1000; ++k) {
      term *= x / (a + k);
      sum += term;
      if (std::fabs(term) < 1.0E-16 * std::fabs(sum)) break;
    }
    return std::max(0.0, 1.0 - sum * std::exp(logPrefix));
  }
  const double tiny = 1.0E-300;
  double b = x + 1.0 - a, c = 1.0 / tiny, d = 1.0 / b, h = d;
  for (int i = 1; i < 1000; ++i) {
    const double an = -i * (i - a);
    b += 2.0;
    d = an * d + b;
    if (std::fabs(d) < tiny) d = tiny;
    c = b + an / c;
    if (std::fabs(c) < tiny) c = tiny;
    d = 1.0 / d;
    const double delta = d * c;
    h *= delta;
    if (std::fabs(delta - 1.0) < 1.0E-16) break;
  }
  return std::exp(logPrefix) * h;
}

}  // namespace

double chiSquareUpperTail(double x, int dof) { return upperGamma(0.5 * dof, 0.5 * x); }

void innovationDiagnostics(Mat phi, Mat delta, Mat gamma, Mat tlx, Mat xz, const double* y,
                           const double* PIVECT, double sigma2, const InnovationSeries& out,
                           InnovationStatistics& st, Scratch s) {
  const int T = xz.rows, n = xz.cols, M = phi.rows;
  double* f = s.doubles(T);
  Mat gain = s.mat(M, T);
  Mat r = Mat{out.v, std::max(T, 1), T, 1};
  for (int t = 1; t <= T; ++t) {
    double e = y[t - 1];
    for (int j = 1; j <= n; ++j) e -= xz(t, j) * PIVECT[j - 1];
    out.v[t - 1] = e;
  }
  const StateSpaceModel model{phi, delta, gamma, tlx};
  const FilterGains gains{f, gain};
  Scratch k = s;
  kalmanGains(model, gains, k);
  k = s;
  innovations(phi, tlx, gains, r, r, k);

  // The standardised values, compacted at the end of the work for the
  // statistics.
  double* z = f;  // f is read before z overwrites it, index by index
  int m = 0;
  for (int t = 1; t <= T; ++t) {
    const double var = sigma2 * f[t - 1];
    out.variance[t - 1] = var;
    if (var > 0.0) {
      const double zt = out.v[t - 1] / std::sqrt(var);
      out.standardised[t - 1] = zt;
      z[m++] = zt;
    } else {
      out.standardised[t - 1] = std::numeric_limits<double>::quiet_NaN();
    }
  }
  st = InnovationStatistics{};
  st.n = m;
  if (m < 3) return;
  double mean = 0.0;
  for (int i = 0; i < m; ++i) mean += z[i];
  mean /= m;
  double m2 = 0.0, m3 = 0.0, m4 = 0.0;
  for (int i = 0; i < m; ++i) {
    const double d = z[i] - mean, d2 = d * d;
    m2 += d2;
    m3 += d2 * d;
    m4 += d2 * d2;
  }
  const double ss = m2;
  m2 /= m;
  m3 /= m;
  m4 /= m;
  if (!(m2 > 0.0)) return;
  st.skewness = m3 / std::pow(m2, 1.5);
  st.kurtosis = m4 / (m2 * m2);
  st.jb = m / 6.0 * (st.skewness * st.skewness + 0.25 * (st.kurtosis - 3.0) * (st.kurtosis - 3.0));
  st.jbP = chiSquareUpperTail(st.jb, 2);
  double q = 0.0;
  int lag = 0;
  for (int l = 0; l < kLjungBoxLags; ++l) {
    const int h = st.lags[l];
    if (h >= m) break;
    for (++lag; lag <= h; ++lag) {
      double c = 0.0;
      for (int i = lag; i < m; ++i) c += (z[i] - mean) * (z[i - lag] - mean);
      const double rk = c / ss;
      q += rk * rk / (m - lag);
    }
    --lag;
    st.q[l] = static_cast<double>(m) * (m + 2) * q;
    st.qP[l] = chiSquareUpperTail(st.q[l], h);
    st.lagCount = l + 1;
  }
}

void printInnovationStatistics(const InnovationStatistics& st, int groupId, int pass, int printLevel,
                               int outUnit) {
  if (printLevel < 1) return;
  writeUnit(outUnit, "");
  writeUnit(outUnit, " INNOVATION DIAGNOSTICS, GROUP" + editI(groupId, 4) + ", ITERATION" +
                         editI(pass, 4));
  writeUnit(outUnit, " STANDARDISED ONE-STEP-AHEAD PREDICTION ERRORS:" + editI(st.n, 6) + " VALUES");
  for (int l = 0; l < st.lagCount; ++l)
    writeUnit(outUnit, " LJUNG-BOX Q(" + editI(st.lags[l], 2) + ")    =" + editG(st.q[l], 13, 5) +
                           "   P-VALUE =" + editG(st.qP[l], 13, 5));
  if (st.jarqueBeraComputed()) {
    writeUnit(outUnit, " JARQUE-BERA     =" + editG(st.jb, 13, 5) + "   P-VALUE =" +
                           editG(st.jbP, 13, 5));
    writeUnit(outUnit, " SKEWNESS        =" + editG(st.skewness, 13, 5) + "   KURTOSIS =" +
                           editG(st.kurtosis, 13, 5));
  }
}

ScratchNeed innovationDiagnosticsNeed(const GroupDims& d) {
  Scratch s;
  s.doubles(d.NUMT);
  s.mat(d.M, d.NUMT);
  ScratchNeed need = s.used();
  ScratchNeed kernels = kalmanGainsNeed(d.M);
  kernels.include(innovationsNeed(d.M, 1));
  need.add(kernels);
  return need;
}

}  // namespace kova
