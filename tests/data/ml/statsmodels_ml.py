#!/usr/bin/python3
"""Golden maximum-likelihood fits for tests/estimation/test_max_likelihood.cpp.

Each directory here (diagonal_phi, full_phi, zero_phi) is a kova input made by
build/tools/kova_simulate (the command is in README.txt). This script fits the
same model by statsmodels' state-space maximum likelihood (Debian
python3-statsmodels 0.13.5) and writes golden.csv in the directory:

    y(t) = x(t)'PI z(t) + x~(t)'EPSILON(t),  x~(t) = L'x(t)  (here L = I, z = 1)
    EPSILON(t) = PHI EPSILON(t-1) + a(t),     cov a(t) = Q = SIGMA**2 DELTA

as an MLEModel with the state EPSILON(t), a time-varying design x~(t)', the
regression x(t)'PI in the observation intercept, observation variance fixed at
exactly 0 (the model has no observation noise), and the stationary
initialisation (the first state has the covariance GAMMA = PHI GAMMA PHI' + Q;
Q itself when PHI = 0). PI, PHI and Q are all estimated by maximum likelihood,
which gives the same maximum as kova's profile likelihood with PI and SIGMA**2
concentrated out (and, at the maximum, the same observed information for the
other parameters: the profile's Hessian is the Schur complement of the full
one). The optimiser starts from the true values (TRUTH) and runs
Nelder-Mead, then BFGS, until the gradient is negligible.

Not run in CI: run it by hand (/usr/bin/python3 statsmodels_ml.py) after
changing the data.
"""
import os
import sys

import numpy as np
from statsmodels.tsa.statespace.mlemodel import MLEModel
from statsmodels.tsa.statespace.tools import (constrain_stationary_multivariate,
                                               unconstrain_stationary_multivariate)

HERE = os.path.dirname(os.path.abspath(__file__))


def read_data(d):
    rows = []
    with open(os.path.join(d, "YXDATA1")) as f:
        for line in f:
            try:
                rows.append([float(v) for v in line.split()])
            except ValueError:
                continue  # the heading
    a = np.array(rows)
    y = a[:, 0]
    x = np.column_stack([np.ones(len(y)), a[:, 1:]])  # automatic leading ones
    return y, x


def read_truth(d):
    truth = {}
    with open(os.path.join(d, "TRUTH")) as f:
        lines = [l.split() for l in f if not l.startswith("!")]
    i = 0
    while i < len(lines):
        key = lines[i][0] if lines[i] else ""
        if key in ("PI", "PHI", "DELTA", "L") and len(lines[i]) == 3:
            r, c = int(lines[i][1]), int(lines[i][2])
            truth[key] = np.array([[float(v) for v in lines[i + 1 + k]] for k in range(r)])
            i += 1 + r
            continue
        if key == "SIGMA2":
            truth[key] = float(lines[i][1])
        i += 1
    return truth


class TvcModel(MLEModel):
    def __init__(self, y, x, form):
        m = x.shape[1]
        super().__init__(y, k_states=m, k_posdef=m, initialization="stationary")
        self.x, self.form, self.m = x, form, m
        self.ssm["design"] = x.T[np.newaxis, :, :]  # 1 x m x T: x~(t)'
        self.ssm["obs_cov"] = np.zeros((1, 1))     # no observation noise
        self.ssm["selection"] = np.eye(m)
        self.ssm["obs_intercept"] = np.zeros((1, len(y)))
        self.n_phi = {"diagonal": m, "full": m * m, "zero": 0}[form]
        self.n_q = m if form == "diagonal" else m * (m + 1) // 2

    @property
    def param_names(self):
        return ([f"pi{i}" for i in range(self.m)] + [f"phi{i}" for i in range(self.n_phi)] +
                [f"q{i}" for i in range(self.n_q)])

    def split(self, p):
        m = self.m
        pi = p[:m]
        ph = p[m:m + self.n_phi]
        q = p[m + self.n_phi:]
        if self.form == "diagonal":
            phi = np.diag(ph)
            Q = np.diag(q)
        else:
            phi = (ph.reshape(m, m, order="F") if self.form == "full"
                   else np.zeros((m, m), dtype=p.dtype))
            Q = np.zeros((m, m), dtype=p.dtype)  # complex under complex-step derivatives
            Q[np.tril_indices(m)] = q  # lower Cholesky factor here
            Q = Q @ Q.T
        return pi, phi, Q

    def transform_params(self, u):
        m = self.m
        p = np.array(u, dtype=float)
        if self.form == "diagonal":
            p[m:m + m] = np.tanh(u[m:m + m])
            p[2 * m:] = u[2 * m:] ** 2
        elif self.form == "full":
            a = u[m:m + m * m].reshape(m, m, order="F")
            phi, _ = constrain_stationary_multivariate(a, np.eye(m))
            p[m:m + m * m] = phi.reshape(-1, order="F")
        return p

    def untransform_params(self, p):
        m = self.m
        u = np.array(p, dtype=float)
        if self.form == "diagonal":
            u[m:m + m] = np.arctanh(p[m:m + m])
            u[2 * m:] = np.sqrt(p[2 * m:])
        elif self.form == "full":
            phi = p[m:m + m * m].reshape(m, m, order="F")
            a, _ = unconstrain_stationary_multivariate(phi, np.eye(m))
            u[m:m + m * m] = a.reshape(-1, order="F")
        return u

    def update(self, params, **kwargs):
        params = super().update(params, **kwargs)
        pi, phi, Q = self.split(params)
        self.ssm["obs_intercept"] = (self.x @ pi)[np.newaxis, :]
        self.ssm["transition"] = phi
        self.ssm["state_cov"] = Q


def start_values(model, truth):
    m = model.m
    pi = truth["PI"][:, 0]
    phi = truth["PHI"]
    Q = truth["SIGMA2"] * truth["DELTA"]
    if model.form == "diagonal":
        return np.concatenate([pi, np.diag(phi), np.diag(Q)])
    c = np.linalg.cholesky(Q)
    ph = phi.reshape(-1, order="F") if model.form == "full" else []
    return np.concatenate([pi, ph, c[np.tril_indices(m)]])


def fit(name, form):
    d = os.path.join(HERE, name)
    y, x = read_data(d)
    truth = read_truth(d)
    model = TvcModel(y, x, form)
    start = start_values(model, truth)
    res = model.fit(start_params=start, method="nm", maxiter=20000, disp=False)
    for _ in range(3):
        res = model.fit(start_params=res.params, method="bfgs", maxiter=2000, gtol=1e-10,
                        disp=False)
    pi, phi, Q = model.split(res.params)
    m = model.m
    # Standard errors from the observed information at the optimum (the
    # numerical Hessian of the log-likelihood, cov_type "approx"), in the
    # model's own parameters: PHI's elements (diagonal and full PHI) and, for
    # diagonal PHI and DELTA, the variances Q(i,i) themselves.
    bse = model.filter(res.params, cov_type="approx").bse
    with open(os.path.join(d, "golden.csv"), "w") as f:
        f.write("# statsmodels %s MLEModel fit by tests/data/ml/statsmodels_ml.py\n"
                % __import__("statsmodels").__version__)
        f.write("name,row,column,value\n")
        f.write("LOGLIK,1,1,%.17g\n" % res.llf)
        for i in range(m):
            f.write("PI,%d,1,%.17g\n" % (i + 1, pi[i]))
        for j in range(m):
            for i in range(m):
                f.write("PHI,%d,%d,%.17g\n" % (i + 1, j + 1, phi[i, j]))
        for j in range(m):
            for i in range(m):
                f.write("SIGMA2_DELTA,%d,%d,%.17g\n" % (i + 1, j + 1, Q[i, j]))
        if form == "diagonal":
            for i in range(m):
                f.write("SE_PHI,%d,%d,%.17g\n" % (i + 1, i + 1, bse[m + i]))
                f.write("SE_SIGMA2_DELTA,%d,%d,%.17g\n" % (i + 1, i + 1, bse[2 * m + i]))
        elif form == "full":
            for j in range(m):
                for i in range(m):
                    f.write("SE_PHI,%d,%d,%.17g\n" % (i + 1, j + 1, bse[m + (j * m + i)]))
    print(name, res.llf, res.mle_retvals.get("converged"), file=sys.stderr)


if __name__ == "__main__":
    fit("diagonal_phi", "diagonal")
    fit("full_phi", "full")
    fit("zero_phi", "zero")
