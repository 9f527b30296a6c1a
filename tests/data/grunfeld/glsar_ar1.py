#!/usr/bin/python3
"""Writes glsar_ar1.csv: per firm of grunfeld.csv, the regression of invest
on a constant, value and capital with AR(1) errors, by iterated feasible GLS
(statsmodels' GLSAR, Debian's python3-statsmodels), over the years that the
examples/grunfeld-ar1 run estimates from (all but each firm's last two).

GLSAR alternates an ordinary regression of the residuals on their lag (the
AR coefficient rho) with least squares on the data quasi-differenced by rho,
which drops each firm's first year; it stops when rho settles.

Run from this directory: /usr/bin/python3 glsar_ar1.py > glsar_ar1.csv
(the stored file was made with statsmodels 0.13.5).
"""
import csv
import sys

import numpy as np
import statsmodels.api as sm

ESTIMATION_YEARS = 18

rows = {}
order = []
with open("grunfeld.csv", newline="") as f:
    for r in csv.DictReader(f):
        if r["firm"] not in rows:
            order.append(r["firm"])
            rows[r["firm"]] = []
        rows[r["firm"]].append(r)

out = csv.writer(sys.stdout, lineterminator="\n")
out.writerow(["group", "firm", "pi_const", "pi_value", "pi_capital",
              "se_const", "se_value", "se_capital", "rho", "iterations"])
for g, firm in enumerate(order, start=1):
    data = sorted(rows[firm], key=lambda r: int(r["year"]))[:ESTIMATION_YEARS]
    y = np.array([float(r["invest"]) for r in data])
    x = sm.add_constant(np.array([[float(r["value"]), float(r["capital"])] for r in data]))
    model = sm.GLSAR(y, x, rho=1)
    fit = model.iterative_fit(maxiter=1000, rtol=1e-12)
    out.writerow([g, firm] + ["%.12g" % v for v in fit.params] +
                 ["%.12g" % v for v in fit.bse] + ["%.12g" % model.rho[0],
                 fit.iter if hasattr(fit, "iter") else ""])
