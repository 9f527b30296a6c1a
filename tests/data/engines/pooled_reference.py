#!/usr/bin/python3
"""Pooled PI of a kova input by a pseudo-inverse generalized least squares in
numpy, independently of kova's pooled phase.

Reads a kova input directory (PARAMTRS, YXDATA1, YXDKEY, LDATA1; P = 1, no
forecast records) and group_phase.csv there: what the group phase handed to
the pooled phase (the rows of KOVA_ESTIMATES.csv for each group's SIGMA2,
PHI and DELTA of its last pass, and MU_COVARIANCE, the adjusted covariance
DELTA_MU of the MU-vectors). Writes golden_pooled.csv there: the pooled PI
with its standard errors, from

    Omega_g = X_g DELTA_MU X_g' + SIGMA2_g YSIGMA_g,
    YSIGMA_g(t,s) = x~(t)' PHI^(t-s) GAMMA x~(s) (t >= s), x~(t) = L'x(t),
    GAMMA = PHI GAMMA PHI' + DELTA,
    PI = (sum X_g' Omega_g^+ X_g)^-1 sum X_g' Omega_g^+ y_g,  cov PI = (...)^-1,

Omega_g^+ through the SVD of the root [U_MU X_g'; SIGMA_g U_g] (U_MU'U_MU =
DELTA_MU, U_g'U_g = YSIGMA_g), singular values s(i) with s(i)^2 at or below
1e-14 s(1)^2 dropped (the numerical rank), and the sums taken as one least
squares on the whitened rows (QR), never forming the ill-conditioned cross
products. Usage:

    /usr/bin/python3 pooled_reference.py DIR
"""
import csv
import os
import sys

import numpy as np

TOL = 1.0e-14


def main(d):
    par = {}
    for line in open(os.path.join(d, "PARAMTRS")):
        if "=" in line and not line.startswith("!"):
            k, v = line.split("=", 1)
            par[k.strip()] = v.strip()
    K, P, M = int(par["K"]), int(par["P"]), int(par["M"])
    if P != 1:
        sys.exit("P = 1 only")
    const = par.get("CONST", "YES") == "YES"
    text = open(os.path.join(d, "YXDATA1")).read().splitlines()[1:]
    records = [list(map(float, l.split())) for l in text if l.strip()]
    keys = [l.split() for l in open(os.path.join(d, "YXDKEY")) if l.strip() and not l.startswith("!")]
    L = np.eye(K)[:, :M]
    if os.path.exists(os.path.join(d, "LDATA1")):
        L = np.array([float(v) for v in open(os.path.join(d, "LDATA1")).read().split()]).reshape(K, M)
    phase = list(csv.DictReader(open(os.path.join(d, "group_phase.csv"))))
    mu = np.zeros((K, K))
    per = {}
    for r in phase:
        i, j, v = int(r["row"]) - 1, int(r["column"]) - 1, float(r["value"])
        if r["matrix"] == "MU_COVARIANCE":
            mu[i, j] = v
        else:
            g = per.setdefault(int(r["group"]), {"PHI": np.zeros((M, M)), "DELTA": np.zeros((M, M))})
            if r["matrix"] == "SIGMA2":
                g["SIGMA2"] = v
            else:
                g[r["matrix"]][i, j] = v
    groups = {}
    for key, rec in zip(keys, records):
        if len(key) > 1:
            sys.exit("forecast records are not handled")
        groups.setdefault(int(key[0]), []).append(rec)
    w, v = np.linalg.eigh((mu + mu.T) / 2)
    u_mu = (v * np.sqrt(np.maximum(w, 0))).T
    rows, rhs = [], []
    for g in sorted(groups):
        recs, m = groups[g], per[g]
        phi, delta = m["PHI"], m["DELTA"]
        gamma = np.linalg.solve(np.eye(M * M) - np.kron(phi, phi),
                                delta.reshape(-1, order="F")).reshape(M, M, order="F")
        gamma = (gamma + gamma.T) / 2
        y = np.array([r[0] for r in recs])
        X = np.array([([1.0] + r[1:K]) if const else r[1:K + 1] for r in recs])
        T = len(y)
        xt = X @ L
        Y = np.zeros((T, T))
        for s in range(T):
            h = gamma @ xt[s]
            for t in range(s, T):
                Y[t, s] = Y[s, t] = xt[t] @ h
                h = phi @ h
        wy, vy = np.linalg.eigh(Y)
        u_y = (vy * np.sqrt(np.maximum(wy, 0))).T
        root = np.vstack([u_mu @ X.T, np.sqrt(m["SIGMA2"]) * u_y])
        _, s, vt = np.linalg.svd(root, full_matrices=False)
        keep = s ** 2 > TOL * s[0] ** 2
        rows.append((vt[keep] @ X) / s[keep][:, None])
        rhs.append((vt[keep] @ y) / s[keep])
    q, r = np.linalg.qr(np.vstack(rows))
    pi = np.linalg.solve(r, q.T @ np.concatenate(rhs))
    rinv = np.linalg.inv(r)
    se = np.sqrt(np.diag(rinv @ rinv.T))
    with open(os.path.join(d, "golden_pooled.csv"), "w") as f:
        f.write("# numpy %s, by tests/data/engines/pooled_reference.py\n" % np.__version__)
        f.write("matrix,row,column,value,std_error\n")
        for k in range(K):
            f.write("POOLED_PI,%d,1,%.17g,%.17g\n" % (k + 1, pi[k], se[k]))


main(sys.argv[1])
