#!/usr/bin/python3
"""Pass-0 generalized least squares of a one-group kova input, in 50 digits.

Reads a kova input directory (PARAMTRS, YXDATA1, ZDATA1, LDATA1, PDATA1,
DDATA1; one group, no forecast records, INITIAL PHI and DELTA
from the files) and writes golden.csv there: PI with its standard errors and
SIGMA**2 of pass 0, and golden_beta.csv: BETA(t) of pass 0, computed with
mpmath at 50 significant digits from the model's definition, independently
of kova:

    EPSILON(1) ~ GAMMA with GAMMA = PHI GAMMA PHI' + DELTA (stationary),
    YSIGMA(t,s) = x~(t)' PHI^(t-s) GAMMA x~(s) (t >= s), x~(t) = L'x(t),
    PI = argmin (y - XZ pi)' YSIGMA^+ (y - XZ pi), XZ(t) = z(t) (x) x(t),
    SIGMA**2 = that minimum / (rows with variance - K*P),
    cov PI = SIGMA**2 (XZ' YSIGMA^+ XZ)^-1,
    EPSILON = Cov(EPSILON, y) YSIGMA^+ (y - XZ PI), BETA(t) = PI z(t) + L EPSILON(t),
    Cov(EPSILON(t), EPSILON(s)) = PHI^(t-s) GAMMA (t >= s),
    Var(BETA(t) - BETA^(t)) = SIGMA**2 L V(t) L' + G(t) (cov PI) G(t)',
    V(t) = GAMMA - C(t) YSIGMA^+ C(t)', C(t) = Cov(EPSILON(t), y),
    G(t) = Z(t) - L C(t) YSIGMA^+ XZ, Z(t) PIVECT = PI z(t).

YSIGMA^+ through an LDL' factorization with zero pivots dropped (a zero
pivot is an observation known from the past, an exact equation on PI; the
inputs here have none, and the script stops if it meets one). With
--variances it writes golden_v.csv as well: GAMMA and every V(t). Usage:

    /usr/bin/python3 gls_reference.py DIR [--variances]
"""
import os
import sys

import mpmath as mp

mp.mp.dps = 50


def rows(path, header):
    with open(path) as f:
        lines = [l.split() for l in f if l.strip()]
    return [[mp.mpf(v) for v in l] for l in (lines[1:] if header else lines)]


def params(path):
    out = {}
    with open(path) as f:
        for l in f:
            if "=" in l and not l.startswith("!"):
                k, v = l.split("=", 1)
                out[k.strip()] = v.strip()
    return out


def main(d):
    p = params(os.path.join(d, "PARAMTRS"))
    K, P, M = int(p["K"]), int(p["P"]), int(p["M"])
    yx = rows(os.path.join(d, "YXDATA1"), True)
    T = len(yx)
    y = [r[0] for r in yx]
    const = p.get("CONST", "YES") == "YES"
    x = [([mp.mpf(1)] + r[1:K]) if const else r[1:K + 1] for r in yx]
    if P > 1:
        zr = rows(os.path.join(d, "ZDATA1"), True)
        z = [([mp.mpf(1)] + r[: P - 1]) if const else r[:P] for r in zr]
    else:
        z = [[mp.mpf(1)] for _ in range(T)]
    if os.path.exists(os.path.join(d, "LDATA1")):
        L = mp.matrix(rows(os.path.join(d, "LDATA1"), False))
    else:
        L = mp.eye(K)[:, :M] if M < K else mp.eye(K)
    phi = mp.matrix(rows(os.path.join(d, "PDATA1"), False))
    delta = mp.matrix(rows(os.path.join(d, "DDATA1"), False)[1:])
    # GAMMA from (I - PHI (x) PHI) vec GAMMA = vec DELTA.
    A = mp.eye(M * M)
    for i in range(M):
        for j in range(M):
            for k in range(M):
                for l in range(M):
                    A[i + M * j, k + M * l] -= phi[i, k] * phi[j, l]
    g = mp.lu_solve(A, mp.matrix([delta[i, j] for j in range(M) for i in range(M)]))
    gamma = mp.matrix(M, M)
    for j in range(M):
        for i in range(M):
            gamma[i, j] = (g[i + M * j] + g[j + M * i]) / 2
    xt = [L.T * mp.matrix(x[t]) for t in range(T)]
    # YSIGMA column s: h(t) = PHI^(t-s) GAMMA x~(s) for t >= s.
    Y = mp.matrix(T, T)
    for s in range(T):
        h = gamma * xt[s]
        for t in range(s, T):
            v = (xt[t].T * h)[0]
            Y[t, s] = v
            Y[s, t] = v
            h = phi * h
    n = K * P
    XZ = mp.matrix(T, n)
    for t in range(T):
        for j in range(P):
            for i in range(K):
                XZ[t, j * K + i] = z[t][j] * x[t][i]
    # LDL' and whitening.
    Lf = mp.eye(T)
    D = [mp.mpf(0)] * T
    for j in range(T):
        D[j] = Y[j, j] - mp.fsum(Lf[j, k] ** 2 * D[k] for k in range(j))
        if D[j] <= mp.mpf(10) ** -40 * Y[j, j]:
            sys.exit("an exact observation at row %d" % (j + 1))
        for i in range(j + 1, T):
            Lf[i, j] = (Y[i, j] - mp.fsum(Lf[i, k] * Lf[j, k] * D[k] for k in range(j))) / D[j]
    B = mp.matrix(T, n + 1)
    for c in range(n + 1):
        for t in range(T):
            v = y[t] if c == n else XZ[t, c]
            v -= mp.fsum(Lf[t, k] * B[k, c] for k in range(t))
            B[t, c] = v
    for t in range(T):
        s = 1 / mp.sqrt(D[t])
        for c in range(n + 1):
            B[t, c] *= s
    W = B[:, :n]
    info = W.T * W
    inv = mp.inverse(info)
    pi = inv * (W.T * B[:, n])
    res = B[:, n] - W * pi
    sigma2 = (res.T * res)[0] / (T - n)
    with open(os.path.join(d, "golden.csv"), "w") as f:
        f.write("# mpmath %s at %d digits, by tests/data/engines/gls_reference.py\n"
                % (mp.__version__, mp.mp.dps))
        f.write("matrix,row,column,value,std_error\n")
        for j in range(P):
            for i in range(K):
                k = j * K + i
                f.write("PI,%d,%d,%s,%s\n" % (i + 1, j + 1, mp.nstr(pi[k], 20),
                                              mp.nstr(mp.sqrt(sigma2 * inv[k, k]), 20)))
        f.write("SIGMA2,1,1,%s,\n" % mp.nstr(sigma2, 20))
    # w = YSIGMA^-1 (y - XZ PI) = Lf'^-1 D^-1/2 res; then EPSILON(t) =
    # sum over s <= t of PHI^(t-s) GAMMA x~(s) w(s) (forward) plus
    # GAMMA sum over s > t of (PHI')^(s-t) x~(s) w(s) (backward).
    w = [mp.mpf(0)] * T
    for t in reversed(range(T)):
        w[t] = res[t] / mp.sqrt(D[t]) - mp.fsum(Lf[k, t] * w[k] for k in range(t + 1, T))
    fwd, bwd = [None] * T, [None] * T
    f_ = mp.matrix(M, 1)
    for t in range(T):
        f_ = phi * f_ + gamma * xt[t] * w[t]
        fwd[t] = f_
    h = mp.matrix(M, 1)
    for t in reversed(range(T)):
        bwd[t] = gamma * h
        h = phi.T * (xt[t] * w[t] + h)
    smoothed = []
    with open(os.path.join(d, "golden_beta.csv"), "w") as f:
        f.write("# mpmath %s at %d digits, by tests/data/engines/gls_reference.py\n"
                % (mp.__version__, mp.mp.dps))
        f.write("period,k,beta,std_error\n")
        for t in range(T):
            eps = fwd[t] + bwd[t]
            # A = D^-1/2 Lf^-1 C(t)' (T x M), so that C(t) YSIGMA^+ C(t)' = A'A and
            # C(t) YSIGMA^+ XZ = A'W.
            C = mp.matrix(T, M)
            for s in range(T):
                c = (phi ** (t - s)) * gamma if t >= s else gamma * (phi.T ** (s - t))
                col = c * xt[s]
                for m in range(M):
                    C[s, m] = col[m]
            A = mp.matrix(T, M)
            for m in range(M):
                for r in range(T):
                    A[r, m] = C[r, m] - mp.fsum(Lf[r, k] * A[k, m] for k in range(r))
            for r in range(T):
                for m in range(M):
                    A[r, m] /= mp.sqrt(D[r])
            V = gamma - A.T * A
            smoothed.append(V)
            G = -(L * (A.T * W))
            for j in range(P):
                for i in range(K):
                    G[i, j * K + i] += z[t][j]
            var = sigma2 * (L * V * L.T) + G * (sigma2 * inv) * G.T
            for i in range(K):
                b = mp.fsum(pi[j * K + i] * z[t][j] for j in range(P))
                b += mp.fsum(L[i, m] * eps[m] for m in range(M))
                f.write("%d,%d,%s,%s\n" % (t + 1, i + 1, mp.nstr(b, 20),
                                            mp.nstr(mp.sqrt(max(var[i, i], 0)), 20)))

    if "--variances" in sys.argv:
        # GAMMA (period 0) and V(t), the smoothed variance of EPSILON(t) in
        # units of SIGMA**2, element (i, j).
        with open(os.path.join(d, "golden_v.csv"), "w") as f:
            f.write("# mpmath %s at %d digits, by tests/data/engines/gls_reference.py\n"
                    % (mp.__version__, mp.mp.dps))
            f.write("period,row,column,value\n")
            for t, V in enumerate([gamma] + smoothed):
                for j in range(M):
                    for i in range(M):
                        f.write("%d,%d,%d,%s\n" % (t, i + 1, j + 1, mp.nstr(V[i, j], 20)))


main(sys.argv[1])
