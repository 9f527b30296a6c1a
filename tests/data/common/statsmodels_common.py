#!/usr/bin/python3
"""Golden fits of PHI and DELTA common to the groups of a panel, for
tests/likelihood/test_common_model.cpp.

Simulates two panels (panel_a.csv, panel_b.csv: group, t, y, x) of groups
with unequal lengths from

    y(t) = PI(1) + PI(2) x(t) + EPSILON1(t) + x(t) EPSILON2(t)   (L = I, z = 1)
    EPSILON(t) = PHI EPSILON(t-1) + a(t),  cov a(t) = SIGMA2_g DELTA,

PHI and DELTA diagonal and common to the groups, PI and SIGMA2_g each
group's own, and fits the model by maximum likelihood with statsmodels'
state-space filter (Debian python3-statsmodels 0.13.5): one MLEModel per
group with the state EPSILON(t), the time-varying design x~(t)', the
regression in the observation intercept, the observation variance exactly 0
and the stationary initialisation; the sum of the groups' log-likelihoods is
maximised over every group's PI and SIGMA2 and the common PHI and DELTA
(DELTA of trace 2, its scale in the SIGMA2). The optimiser (scipy BFGS, then
Nelder-Mead polish, then BFGS again) starts from the truth. The standard
errors are those of the inverse of the numerical Hessian of the summed
log-likelihood in (every PI, every SIGMA2, PHI(1,1), PHI(2,2), DELTA(1,1)),
DELTA(2,2) = 2 - DELTA(1,1).

Writes golden.csv: panel, name, value. Not run in CI: run by hand
(/usr/bin/python3 statsmodels_common.py) after changing it.
"""
import os

import numpy as np
from scipy.optimize import minimize
from statsmodels.tools.numdiff import approx_hess
from statsmodels.tsa.statespace.mlemodel import MLEModel

HERE = os.path.dirname(os.path.abspath(__file__))


class Group(MLEModel):
    def __init__(self, y, x):
        super().__init__(y, k_states=2, k_posdef=2, initialization="stationary")
        self.x = x
        self.ssm["design"] = x.T[np.newaxis, :, :]
        self.ssm["obs_cov"] = np.zeros((1, 1))
        self.ssm["selection"] = np.eye(2)
        self.ssm["obs_intercept"] = np.zeros((1, len(y)))

    def set(self, pi, sigma2, phi, delta):
        self.ssm["obs_intercept"] = (self.x @ pi)[np.newaxis, :]
        self.ssm["transition"] = np.diag(phi)
        self.ssm["state_cov"] = sigma2 * np.diag(delta)

    def value(self, pi, sigma2, phi, delta):
        self.set(pi, sigma2, phi, delta)
        return self.ssm.loglike()


def simulate(rng, lengths, phi, delta, pi, sigma2):
    rows = []
    for g, (T, s2) in enumerate(zip(lengths, sigma2), start=1):
        eps = np.zeros(2)
        for t in range(-50, T + 1):
            eps = phi * eps + np.sqrt(s2 * delta) * rng.standard_normal(2)
            if t < 1:
                continue
            x = 1.0 + rng.standard_normal()
            y = pi[g - 1][0] + pi[g - 1][1] * x + eps[0] + x * eps[1]
            rows.append((g, t, y, x))
    return rows


def groups_of(rows):
    out = {}
    for g, t, y, x in rows:
        out.setdefault(g, []).append((y, x))
    models = []
    for g in sorted(out):
        a = np.array(out[g])
        models.append(Group(a[:, 0], np.column_stack([np.ones(len(a)), a[:, 1]])))
    return models


# Natural parameters: PI (2 a group), SIGMA2 (a group), PHI(1,1), PHI(2,2), DELTA(1,1).
def natural_loglik(p, models):
    G = len(models)
    phi = p[3 * G:3 * G + 2]
    d1 = p[3 * G + 2]
    delta = np.array([d1, 2.0 - d1])
    if np.any(np.abs(phi) >= 1) or np.any(delta <= 0) or np.any(p[2 * G:3 * G] <= 0):
        return -1e10
    return sum(m.value(p[2 * g:2 * g + 2], p[2 * G + g], phi, delta)
               for g, m in enumerate(models))


def to_free(p, G):
    u = p.copy()
    u[2 * G:3 * G] = np.log(p[2 * G:3 * G])
    u[3 * G:3 * G + 2] = np.arctanh(p[3 * G:3 * G + 2])
    u[3 * G + 2] = np.log(p[3 * G + 2] / (2.0 - p[3 * G + 2]))
    return u


def from_free(u, G):
    p = u.copy()
    p[2 * G:3 * G] = np.exp(u[2 * G:3 * G])
    p[3 * G:3 * G + 2] = np.tanh(u[3 * G:3 * G + 2])
    p[3 * G + 2] = 2.0 / (1.0 + np.exp(-u[3 * G + 2]))
    return p


def fit(name, rows, truth):
    models = groups_of(rows)
    G = len(models)
    f = lambda u: -natural_loglik(from_free(u, G), models)
    u = to_free(truth, G)
    for method in ("BFGS", "Nelder-Mead", "BFGS"):
        r = minimize(f, u, method=method,
                     options={"maxiter": 200000, "xatol": 1e-10, "fatol": 1e-12}
                     if method == "Nelder-Mead" else {"gtol": 1e-8, "maxiter": 10000})
        u = r.x
    p = from_free(u, G)
    ll = natural_loglik(p, models)
    H = approx_hess(p, lambda q: natural_loglik(q, models))
    cov = np.linalg.inv(-H)
    se = np.sqrt(np.diag(cov))
    out = [(name, "LOGLIK", ll),
           (name, "PHI1", p[3 * G]), (name, "PHI2", p[3 * G + 1]),
           (name, "DELTA1", p[3 * G + 2]), (name, "DELTA2", 2.0 - p[3 * G + 2]),
           (name, "SE_PHI1", se[3 * G]), (name, "SE_PHI2", se[3 * G + 1]),
           (name, "SE_DELTA1", se[3 * G + 2])]
    for g in range(G):
        out.append((name, f"SIGMA2_{g + 1}", p[2 * G + g]))
    print(name, "loglik", ll, "phi", p[3 * G:3 * G + 2], "delta1", p[3 * G + 2], "se", se[3 * G:])
    return out


def main():
    rng = np.random.default_rng(20261207)
    golden = []
    designs = [
        ("panel_a", [20, 24, 28, 32, 36, 40, 22, 30], np.array([0.6, 0.2]), np.array([1.4, 0.6])),
        ("panel_b", [20, 21, 23, 25, 26, 27, 29, 30, 22, 24, 28, 20], np.array([0.3, -0.4]),
         np.array([0.5, 1.5])),
    ]
    for name, lengths, phi, delta in designs:
        G = len(lengths)
        pi = [(1.0 + 0.1 * g, 0.5 - 0.05 * g) for g in range(G)]
        sigma2 = [0.5 + 0.25 * (g % 4) for g in range(G)]
        rows = simulate(rng, lengths, phi, delta, pi, sigma2)
        with open(os.path.join(HERE, name + ".csv"), "w") as f:
            f.write("group,t,y,x\n")
            for g, t, y, x in rows:
                f.write(f"{g},{t},{y:.17g},{x:.17g}\n")
        truth = np.concatenate([np.ravel(pi), sigma2, phi, [delta[0]]])
        golden += fit(name, rows, truth)
    with open(os.path.join(HERE, "golden.csv"), "w") as f:
        f.write("panel,name,value\n")
        for panel, key, v in golden:
            f.write(f"{panel},{key},{v:.17g}\n")


if __name__ == "__main__":
    main()
