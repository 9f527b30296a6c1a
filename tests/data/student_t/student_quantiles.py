#!/usr/bin/python3
"""Golden quantiles of Student's t for tests/estimation/test_student_quantile.cpp.

The t with P(T <= t) = p, from mpmath's regularized incomplete beta
(P(T <= t) = 1 - 1/2 I_{dof / (dof + t^2)}(dof / 2, 1 / 2)) solved at 40
digits, at the probabilities and degrees of freedom below, written to
student_quantiles.csv beside this script. (scipy 1.10's t.ppf is good to
about 1e-9 only: its own cdf at its ppf misses p by 3e-10.) Not run in CI:

    /usr/bin/python3 student_quantiles.py
"""
import os

import mpmath
from mpmath import mp, mpf

mp.dps = 40
HERE = os.path.dirname(os.path.abspath(__file__))


def upper_tail(t, dof):
    return mpmath.betainc(mpf(dof) / 2, mpf(1) / 2, 0, dof / (dof + t * t), regularized=True) / 2


def quantile(p, dof):
    low, high = mpf(0), mpf(1)
    while upper_tail(high, dof) > 1 - p:
        high *= 2
    for _ in range(200):
        mid = (low + high) / 2
        if upper_tail(mid, dof) > 1 - p:
            low = mid
        else:
            high = mid
    return (low + high) / 2


with open(os.path.join(HERE, "student_quantiles.csv"), "w") as f:
    f.write("# mpmath %s, by tests/data/student_t/student_quantiles.py\n" % mpmath.__version__)
    f.write("probability,dof,quantile\n")
    for p in ("0.975", "0.95", "0.995", "0.6"):
        for dof in (1, 2, 3, 4, 5, 7, 10, 15, 17, 30, 99, 100, 199, 200, 201, 250, 1000, 12497):
            f.write("%s,%d,%s\n" % (p, dof, mpmath.nstr(quantile(mpf(p), dof), 20)))
