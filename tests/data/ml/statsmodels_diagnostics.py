#!/usr/bin/python3
"""Golden innovation diagnostics for tests/estimation/test_max_likelihood.cpp.

Reads KOVA_INNOVATIONS.csv of a kova run of full_phi (METHOD = ML; the test
makes the same run) given as the first argument, and writes
full_phi/golden_diagnostics.csv: statsmodels' Ljung-Box statistics
(acorr_ljungbox, lags 1, 4, 8) and Jarque-Bera statistic (jarque_bera) of the
standardised innovations, with their p-values. Not run in CI:

    (cp -r full_phi /tmp/run && cd /tmp/run && kova)
    /usr/bin/python3 statsmodels_diagnostics.py /tmp/run/KOVA_INNOVATIONS.csv
"""
import csv
import os
import sys

import numpy as np
from statsmodels.stats.diagnostic import acorr_ljungbox
from statsmodels.stats.stattools import jarque_bera

HERE = os.path.dirname(os.path.abspath(__file__))

with open(sys.argv[1]) as f:
    z = np.array([float(r["standardised"]) for r in csv.DictReader(f) if r["standardised"]])
lb = acorr_ljungbox(z, lags=[1, 4, 8], return_df=True)
jb, jbp, skew, kurt = jarque_bera(z)
with open(os.path.join(HERE, "full_phi", "golden_diagnostics.csv"), "w") as f:
    f.write("# statsmodels %s, by tests/data/ml/statsmodels_diagnostics.py\n"
            % __import__("statsmodels").__version__)
    f.write("name,row,column,value\n")
    for lag in (1, 4, 8):
        f.write("LJUNG_BOX,%d,1,%.17g\n" % (lag, lb.loc[lag, "lb_stat"]))
        f.write("LJUNG_BOX_P,%d,1,%.17g\n" % (lag, lb.loc[lag, "lb_pvalue"]))
    f.write("JARQUE_BERA,1,1,%.17g\n" % jb)
    f.write("JARQUE_BERA_P,1,1,%.17g\n" % jbp)
