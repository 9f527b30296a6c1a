#!/usr/bin/python3
"""Golden maxima of the hard cases in tests/data/ml/hard for
tests/likelihood/test_max_likelihood.cpp.

Each directory in hard/ is a kova input made by build/tools/kova_simulate (the
commands are in README.txt). For each, statsmodels' state-space maximum
likelihood of the same model (the MLEModel of statsmodels_ml.py) is run twice:
from the true parameters (TRUTH) and from kova's maximum (the ML_ rows of
KOVA_ESTIMATES.csv of a kova run in the directory given as the second
argument, made by hand: cp -r hard/NAME /tmp/NAME && cd /tmp/NAME && kova).
Each fit is Nelder-Mead, then BFGS until the gradient is negligible. It writes
hard/NAME/golden.csv with the log-likelihood of each fit (LOGLIK_FROM_TRUTH,
LOGLIK_FROM_KOVA) and their best (LOGLIK).

Not run in CI:
    /usr/bin/python3 statsmodels_hard.py NAME /tmp/NAME
"""
import csv
import os
import sys

import numpy as np

from statsmodels_ml import HERE, TvcModel, read_data, read_truth, start_values


def kova_point(model, run):
    est = {}
    with open(os.path.join(run, "KOVA_ESTIMATES.csv")) as f:
        for r in csv.DictReader(f):
            if r["matrix"] in ("ML_PHI", "ML_SIGMA2_DELTA", "PI"):
                est[(r["pass"], r["matrix"], int(r["row"]), int(r["column"]))] = float(r["value"])
    last = max(p for (p, m, _, _) in est if m == "ML_PHI")
    m = model.m
    phi = np.array([[est[(last, "ML_PHI", i + 1, j + 1)] for j in range(m)] for i in range(m)])
    q = np.array([[est[(last, "ML_SIGMA2_DELTA", i + 1, j + 1)] for j in range(m)]
                  for i in range(m)])
    pi = np.array([est[(last, "PI", i + 1, 1)] for i in range(m)])
    truth = {"PI": pi[:, np.newaxis], "PHI": phi, "DELTA": q, "SIGMA2": 1.0}
    if model.form != "diagonal":
        # A singular Q (a boundary) gets a tiny ridge for its Cholesky factor.
        w = np.linalg.eigvalsh(q)
        if w[0] <= 1e-12 * w[-1]:
            truth["DELTA"] = q + 1e-10 * np.trace(q) * np.eye(m)
    return start_values(model, truth)


def fit_from(model, start):
    res = model.fit(start_params=start, method="nm", maxiter=20000, disp=False)
    for _ in range(3):
        res = model.fit(start_params=res.params, method="bfgs", maxiter=2000, gtol=1e-10,
                        disp=False)
    return res.llf


def main(name, run):
    d = os.path.join(HERE, "hard", name)
    form = "diagonal" if "diagonal" in name else "full"
    y, x = read_data(d)
    model = TvcModel(y, x, form)
    from_truth = fit_from(model, start_values(model, read_truth(d)))
    from_kova = fit_from(model, kova_point(model, run))
    with open(os.path.join(d, "golden.csv"), "w") as f:
        f.write("# statsmodels %s MLEModel fits by tests/data/ml/statsmodels_hard.py\n"
                % __import__("statsmodels").__version__)
        f.write("name,row,column,value\n")
        f.write("LOGLIK_FROM_TRUTH,1,1,%.17g\n" % from_truth)
        f.write("LOGLIK_FROM_KOVA,1,1,%.17g\n" % from_kova)
        f.write("LOGLIK,1,1,%.17g\n" % max(from_truth, from_kova))
    print(name, from_truth, from_kova, file=sys.stderr)


if __name__ == "__main__":
    main(sys.argv[1], sys.argv[2])
