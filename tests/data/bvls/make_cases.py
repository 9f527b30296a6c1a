#!/usr/bin/env python3
"""Writes scipy_cases.txt: bounded least-squares problems solved by
scipy.optimize.lsq_linear(method='bvls'), for the DBVLS tests.

Run from this directory: python3 make_cases.py > scipy_cases.txt
The tests read the committed file; they never run this script.

Format: '#' lines are comments. Each case is
  case <name> <m> <n>
  m lines of A (row by row), then b (m), lower bounds (n), upper bounds (n),
  scipy's solution x (n), and its cost 0.5 * ||A x - b||^2.
An infinite bound is written as +-1.7976931348623157e+308.
"""
import numpy as np
import scipy
from scipy.optimize import lsq_linear

BIG = 1.7976931348623157e308


def fmt(v):
    if np.isinf(v):
        v = BIG if v > 0 else -BIG
    return repr(float(v))


def case(name, a, b, lo, hi, out):
    res = lsq_linear(a, b, bounds=(lo, hi), method='bvls', tol=1e-15,
                     lsmr_tol=None, max_iter=None)
    assert res.status in (1, 2, 3), res
    m, n = a.shape
    out.append(f"case {name} {m} {n}")
    for row in a:
        out.append(" ".join(fmt(v) for v in row))
    out.append(" ".join(fmt(v) for v in b))
    out.append(" ".join(fmt(v) for v in lo))
    out.append(" ".join(fmt(v) for v in hi))
    out.append(" ".join(fmt(v) for v in res.x))
    out.append(fmt(res.cost))


def main():
    rng = np.random.default_rng(20261207)
    out = [f"# scipy {scipy.__version__} lsq_linear(method='bvls') on fixed random"
           " problems; written by make_cases.py"]
    inf = np.inf
    # Tall, well conditioned: unique solutions, so x can be compared.
    for k, (m, n) in enumerate([(10, 3), (15, 6), (30, 8), (8, 8)]):
        a = rng.uniform(-1, 1, (m, n)) + 2.0 * np.eye(m, n)
        b = rng.uniform(-3, 3, m)
        lo = rng.uniform(-0.6, 0.0, n)
        hi = lo + rng.uniform(0.1, 0.8, n)
        case(f"two_sided_{k}", a, b, lo, hi, out)
    a = rng.uniform(-1, 1, (12, 5)) + 2.0 * np.eye(12, 5)
    b = rng.uniform(-3, 3, 12)
    case("nonnegative", a, b, np.zeros(5), np.full(5, inf), out)
    case("nonpositive", a, b, np.full(5, -inf), np.zeros(5), out)
    case("mixed_infinite", a, b, np.array([-inf, 0.0, -0.2, -inf, 0.1]),
         np.array([inf, inf, 0.3, 0.05, inf]), out)
    case("unbounded", a, b, np.full(5, -inf), np.full(5, inf), out)
    a = rng.uniform(-1, 1, (20, 4)) * np.array([1e-3, 1.0, 1e2, 1.0]) + np.eye(20, 4)
    b = rng.uniform(-1, 1, 20) * 1e3
    case("badly_scaled", a, b, np.array([-1e5, -5.0, -0.1, 0.0]),
         np.array([1e5, 5.0, 0.1, inf]), out)
    print("\n".join(out))


if __name__ == "__main__":
    main()
