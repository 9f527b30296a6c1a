#!/usr/bin/env python3
"""Engine differential: random valid simulated panels, each run by the
state-space engine (the default) and the dense one (ENGINE = DENSE); pass 0
must agree to 1e-10 of each matrix's scale on PI, SIGMA**2, their standard
errors and BETA(t) with its standard errors. Half of the cases start from a
singular (rank-1) DELTA. A failing case's directory is kept in
engine-failures/; the exit status is the number of failing cases (at most
100).

    python3 tests/fuzz/engine_differential.py --build build --seed 1 [--cases 40]
"""
import argparse
import csv
import os
import random
import shutil
import subprocess
import sys
import tempfile

TOL = 1e-10


def matrix(rows):
    return ";".join(",".join(repr(v) for v in r) for r in rows)


def options(rng):
    k = rng.randint(1, 3)
    m = rng.randint(1, k)
    p = rng.randint(1, 2)
    ng = rng.randint(1, 3)
    records = rng.randint(max(12, 3 * k * p), 70)
    phi = [[0.0] * m for _ in range(m)]
    for i in range(m):
        phi[i][i] = round(rng.uniform(-0.9, 0.9), 4)
    args = ["--ng", str(ng), "--records", str(records), "--k", str(k), "--p", str(p), "--m",
            str(m), "--phi", matrix(phi), "--iterations", "1", "--seed",
            str(rng.randint(1, 10**9)), "--forecast-y", rng.choice(["none", "last:1"])]
    if rng.random() < 0.25:
        # Records whose x(1..M) is zero: exact in the group (L'x(t) = 0
        # with the default L), seen by the pooled phase through x(M+1..K).
        args += ["--no-leading-ones"]
    if rng.random() < 0.5:
        # A rank-1 starting DELTA, the start PHI near a unit root.
        v = [round(rng.uniform(-0.2, 0.2), 4) for _ in range(m)]
        start = [row[:] for row in phi]
        start[0][0] = round(rng.choice([0.9, 0.99, 0.999]), 4)
        args += ["--pdata", "--ddata", "--start-phi", matrix(start), "--start-delta",
                 matrix([[a * b for b in v] for a in v])]
    return args


def table(path, keys, values):
    out = {}
    with open(path) as f:
        for row in csv.DictReader(f):
            if row["pass"] != "0":
                continue
            out[tuple(row[k] for k in keys)] = [float(row[v]) if row[v] else 0.0 for v in values]
    return out


def compare(a, b, group_of, what, floor=None):
    """Differences over the scale of their (group, matrix): the largest
    value or standard error there, or floor[group] when that is larger."""
    if a.keys() != b.keys():
        return ["%s: the rows differ" % what]
    scale = dict(floor or {})
    for key, vals in a.items():
        g = group_of(key)
        scale[g] = max([scale.get(g, 0.0)] + [abs(v) for v in vals])
    bad = []
    for key, vals in a.items():
        s = max(scale[group_of(key)], 1e-200)
        for x, y in zip(vals, b[key]):
            if abs(x - y) > max(TOL * s, 1e-200):
                bad.append("%s %s: %r vs %r (scale %g)" % (what, key, x, y, s))
    return bad


def run_case(kova, simulate, work, args):
    case = os.path.join(work, "case")
    subprocess.run([simulate, "--out", case] + args, check=True, stdout=subprocess.DEVNULL)
    if "--no-leading-ones" in args:
        m = int(args[args.index("--m") + 1])
        k = int(args[args.index("--k") + 1])
        path = os.path.join(case, "YXDATA1")
        with open(path) as f:
            lines = f.read().splitlines()
        if m < k:
            for i in range(3, len(lines), 9):
                lines[i] = lines[i][:20] + ("0".rjust(20)) * m + lines[i][20 + 20 * m:]
        with open(path, "w") as f:
            f.write("\n".join(lines) + "\n")
    results = {}
    for engine in ("dense", "state"):
        d = os.path.join(work, engine)
        shutil.copytree(case, d)
        if engine == "dense":
            with open(os.path.join(d, "PARAMTRS")) as f:
                text = f.read()
            text = text.replace("BEGIN GROUP (ALL)\n", "BEGIN GROUP (ALL)\nENGINE = DENSE\n", 1)
            with open(os.path.join(d, "PARAMTRS"), "w") as f:
                f.write(text)
        r = subprocess.run([kova], cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL,
                           timeout=120)
        if r.returncode != 0:
            return ["%s engine: exit status %d" % (engine, r.returncode)]
        results[engine] = (
            table(os.path.join(d, "KOVA_ESTIMATES.csv"), ("group", "matrix", "row", "column"),
                  ("value", "std_error")),
            table(os.path.join(d, "KOVA_BETA.csv"), ("group", "period", "k"),
                  ("beta", "std_error")))
    keep = ("PI", "SIGMA2")
    est = [{k: v for k, v in results[e][0].items() if k[1] in keep} for e in ("dense", "state")]
    bad = compare(est[0], est[1], lambda k: (k[0], k[1]), "estimates")
    # BETA(t) carries the error of PI: a coefficient that the data barely
    # determine (a standard error of 80 against values near 4) leaves
    # rounding of that size in BETA.
    pi_se = {}
    for k, (v, se) in est[0].items():
        if k[1] == "PI":
            pi_se[k[0]] = max(pi_se.get(k[0], 0.0), se)
    bad += compare(results["dense"][1], results["state"][1], lambda k: k[0], "BETA", pi_se)
    return bad


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--build", default="build")
    ap.add_argument("--seed", type=int, default=1)
    ap.add_argument("--cases", type=int, default=40)
    a = ap.parse_args()
    kova = os.path.abspath(os.path.join(a.build, "src", "kova"))
    simulate = os.path.abspath(os.path.join(a.build, "tools", "kova_simulate"))
    rng = random.Random(a.seed)
    failures = 0
    for i in range(a.cases):
        args = options(rng)
        with tempfile.TemporaryDirectory() as work:
            bad = run_case(kova, simulate, work, args)
            if bad:
                failures += 1
                keep = os.path.join("engine-failures", "case%03d" % i)
                shutil.rmtree(keep, ignore_errors=True)
                shutil.copytree(work, keep)
                print("case %d (%s):" % (i, " ".join(args)))
                for line in bad[:5]:
                    print("  " + line)
    print("engine differential: %d cases, %d failing" % (a.cases, failures))
    sys.exit(min(failures, 100))


main()
