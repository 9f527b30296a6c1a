#!/usr/bin/env python3
"""Recovery study: simulated groups with known parameters, estimated by the
iterative passes and by maximum likelihood (METHOD = ML), side by side.

For each design and length, REPS groups are drawn with kova_simulate (one
group a run, K = 3, P = 1, M = 3, diagonal PHI (0.6, 0.3, 0), SIGMA**2
DELTA diagonal (0.1, 0.05, 0.02)), and kova runs each with both methods.
Reported per method: bias, Monte Carlo standard deviation and 95%-interval
coverage of PI (with the mean reported standard error over the Monte Carlo
one), the bias and sd of PHI and of SIGMA**2 DELTA, the runs whose SIGMA**2
grew more than tenfold over the passes (runaways; also counted by the
trace of SIGMA**2 DELTA, the identified scale), the RMSE of BETA(t)
against the truth and the coverage of the 95% bands of BETA(t).

Not a test: run by hand after a build (it takes a few minutes):
    python3 bench/recovery_study.py [--reps 200] [--lengths 100 400]

With --checks, three checks of the standard errors under METHOD = ML
instead (REPS groups each; about 0.2 s a group):
  silent    100 periods, the design above: every group whose 95% bands of
            BETA(t) miss the truth at more than half of the values carries
            a warning row (KOVA_WARNINGS.csv); bands left empty
            (beta_se_incomplete) are counted apart; silentfull: the same on
            K = M = 2, full PHI ((0.5, 0.2), (-0.1, 0.4)) and DELTA, 200 periods;
  band400   400 periods: coverage of the bands, coefficient by coefficient;
  unitroot  K = M = 2, diagonal PHI (0.95, 0), SIGMA**2 DELTA diagonal
            (0.02, 0.1), 200 periods: coverage of the 95% interval of PI(1)
            by the conditional standard error (rows PI) and by the one with
            the uncertainty of PHI and DELTA (rows PI_ML_SPREAD), overall and
            in the third of the groups with the lowest estimated PHI(1,1).
    python3 bench/recovery_study.py --checks silent band400 unitroot --reps 1000
"""
import argparse
import csv
import math
import os
import shutil
import subprocess
import tempfile

ROOT = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
SIM = os.path.join(ROOT, "build", "tools", "kova_simulate")
KOVA = os.path.join(ROOT, "build", "src", "kova")

PHI = [0.6, 0.3, 0.0]
DELTA = [0.1, 0.05, 0.02]
PI = [1.1, 2.1, 3.1]


def truth_beta(path):
    """BETA(t) of every record, from the simulator's TRUTH file."""
    beta = {}
    with open(path) as f:
        lines = f.read().split("\n")
    K = int(next(l.split()[1] for l in lines if l.startswith("K ")))
    M = int(next(l.split()[1] for l in lines if l.startswith("M ")))
    at = next(i for i, l in enumerate(lines) if l.startswith("RECORDS"))
    for line in lines[at + 2:]:
        parts = line.split()
        if len(parts) < 5 + M + K:
            continue
        t = int(parts[2])
        beta[t] = [float(v) for v in parts[-K:]]
    return beta


def estimates(directory):
    rows = list(csv.DictReader(open(os.path.join(directory, "KOVA_ESTIMATES.csv"))))
    last = max(int(r["pass"]) for r in rows if r["pass"])
    out = {"last": last}
    for r in rows:
        if not r["pass"]:
            continue
        p, m = int(r["pass"]), r["matrix"]
        key = (m, int(r["row"]), int(r["column"]))
        if p == 1 and m == "SIGMA2":
            out["sigma2_1"] = float(r["value"])
        if p == 1 and m == "DELTA" and r["row"] == r["column"]:
            out["trace_delta_1"] = out.get("trace_delta_1", 0.0) + float(r["value"])
        if p == last:
            se = r["std_error"]
            out[key] = (float(r["value"]), float(se) if se else float("nan"))
    betas = list(csv.DictReader(open(os.path.join(directory, "KOVA_BETA.csv"))))
    out["beta"] = {}
    for r in betas:
        if int(r["pass"]) == last and r["forecast"] == "0":
            se = r.get("std_error", "")
            out["beta"][(int(r["period"]), int(r["k"]))] = (
                float(r["beta"]), float(se) if se else float("nan"))
    return out


def run(length, seed, method, work):
    """method: ITERATIVE, ML, or ORACLE (one pass at the true PHI, DELTA and
    SIGMA**2, as the starting values: the BETA(t) of a user who knew them)."""
    d = os.path.join(work, f"{method}_{length}_{seed}")
    shutil.rmtree(d, ignore_errors=True)
    args = [SIM, "--out", d, "--ng", "1", "--records", str(length), "--k", "3",
            "--p", "1", "--m", "3", "--phi", "0.6,0,0;0,0.3,0;0,0,0",
            "--delta", "0.1,0,0;0,0.05,0;0,0,0.02", "--sigma2", "1",
            "--diagonal-phi", "--diagonal-delta", "--forecast-y", "none",
            "--seed", str(seed), "--param", "PRINT = 0"]
    if method == "ORACLE":
        args += ["--iterations", "1", "--pdata", "--ddata", "--start-phi", "0.6,0,0;0,0.3,0;0,0,0",
                 "--start-delta", "0.1,0,0;0,0.05,0;0,0,0.02", "--start-sigma2", "1"]
    else:
        args += ["--iterations", "5", "--param", f"METHOD = {method}"]
    subprocess.run(args, check=True, stdout=subprocess.DEVNULL)
    subprocess.run([KOVA], cwd=d, check=False, stdout=subprocess.DEVNULL)
    est = estimates(d)
    est["truth"] = truth_beta(os.path.join(d, "TRUTH"))
    shutil.rmtree(d, ignore_errors=True)
    return est


def mean(v):
    return sum(v) / len(v) if v else float("nan")


def sd(v):
    m = mean(v)
    return math.sqrt(sum((x - m) ** 2 for x in v) / (len(v) - 1)) if len(v) > 1 else float("nan")


def summarise(results, method, length):
    print(f"\n{method}, {length} periods, {len(results)} groups")
    for k in range(3):
        vals = [r[("PI", k + 1, 1)][0] for r in results]
        ses = [r[("PI", k + 1, 1)][1] for r in results]
        cover = mean([abs(v - PI[k]) <= 1.96 * s for v, s in zip(vals, ses) if s == s])
        ratio = mean([s for s in ses if s == s]) / sd(vals)
        print(f"  PI({k + 1}): bias {mean(vals) - PI[k]:+.4f}  sd {sd(vals):.4f}  "
              f"95% coverage {100 * cover:.1f}%  se/sd {ratio:.2f}")
    for k in range(3):
        vals = [r[("PHI", k + 1, k + 1)][0] for r in results]
        print(f"  PHI({k + 1},{k + 1}): bias {mean(vals) - PHI[k]:+.4f}  sd {sd(vals):.4f}")
    for k in range(3):
        vals = [r[("SIGMA2", 1, 1)][0] * r[("DELTA", k + 1, k + 1)][0] for r in results]
        print(f"  SIGMA2 DELTA({k + 1},{k + 1}): bias {mean(vals) - DELTA[k]:+.4f}  "
              f"sd {sd(vals):.4f}")
    if method == "ORACLE":
        errors = [(b - r["truth"][t][k - 1]) ** 2 for r in results for (t, k), (b, _) in r["beta"].items()]
        print(f"  BETA(t): RMSE {math.sqrt(mean(errors)):.4f} (the oracle)  "
              f"95% band coverage {band_coverage(results)}")
        return
    runaways = sum(1 for r in results
                   if r.get("sigma2_1", 0) > 0 and r[("SIGMA2", 1, 1)][0] > 10 * r["sigma2_1"])
    # Only SIGMA**2 DELTA is identified (ML reports DELTA at the last
    # iterative pass's trace), so its trace is the fair measure for both.
    def scaled_trace(r):
        return r[("SIGMA2", 1, 1)][0] * sum(r[("DELTA", k, k)][0] for k in (1, 2, 3))
    grown = sum(1 for r in results if r.get("sigma2_1", 0) > 0 and
                scaled_trace(r) > 10 * r["sigma2_1"] * r.get("trace_delta_1", 0.0))
    errors = [(b - r["truth"][t][k - 1]) ** 2 for r in results for (t, k), (b, _) in r["beta"].items()]
    print(f"  runaways: SIGMA**2 > 10 x pass 1: {runaways}; "
          f"trace SIGMA**2 DELTA > 10 x pass 1: {grown}")
    print(f"  BETA(t): RMSE {math.sqrt(mean(errors)):.4f}  95% band coverage "
          f"{band_coverage(results)}")


def band_coverage(results):
    """The share of periods whose true BETA_k(t) lies in BETA^ -+ 1.96 std_error:
    all coefficients (with its Monte Carlo standard error, the groups taken as
    independent clusters), then k = 1, 2, 3."""
    covered, counted = [0] * 4, [0] * 4
    per_group = []
    for r in results:
        hit = tot = 0
        for (t, k), (b, se) in r["beta"].items():
            if se != se:
                continue
            inside = abs(b - r["truth"][t][k - 1]) <= 1.96 * se
            hit += inside
            tot += 1
            for i in (0, k):
                counted[i] += 1
                covered[i] += inside
        if tot:
            per_group.append((hit, tot))
    shares = [f"{100 * c / max(n, 1):.1f}%" for c, n in zip(covered, counted)]
    share = covered[0] / max(counted[0], 1)
    # The ratio estimator's standard error over clusters.
    g = len(per_group)
    mean_n = counted[0] / max(g, 1)
    var = sum((h - share * n) ** 2 for h, n in per_group) / max(g - 1, 1)
    mc = 100 * math.sqrt(var / max(g, 1)) / max(mean_n, 1)
    return f"{shares[0]} (MC se {mc:.1f}; by k: {', '.join(shares[1:])})"


def simulate_ml(work, tag, seed, length, k, phi, delta, diagonal=True):
    """One group under METHOD = ML: its directory (the caller removes it)."""
    d = os.path.join(work, f"{tag}_{seed}")
    shutil.rmtree(d, ignore_errors=True)
    forms = ["--diagonal-phi", "--diagonal-delta"] if diagonal else []
    subprocess.run([SIM, "--out", d, "--ng", "1", "--records", str(length), "--k", str(k),
                    "--p", "1", "--m", str(k), "--phi", phi, "--delta", delta, "--sigma2", "1",
                    *forms, "--forecast-y", "none",
                    "--seed", str(seed), "--iterations", "5", "--param", "PRINT = 0",
                    "--param", "METHOD = ML"], check=True, stdout=subprocess.DEVNULL)
    subprocess.run([KOVA], cwd=d, check=False, stdout=subprocess.DEVNULL)
    return d


def warnings_of(d):
    return [r["kind"] for r in csv.DictReader(open(os.path.join(d, "KOVA_WARNINGS.csv")))]


def band_misses(est):
    """(values outside the band, values with a band) of the last pass."""
    miss = tot = 0
    for (t, k), (b, se) in est["beta"].items():
        if se != se:
            continue
        tot += 1
        miss += abs(b - est["truth"][t][k - 1]) > 1.96 * se
    return miss, tot


def check_silent(reps, work, full=False):
    phi, delta = "0.6,0,0;0,0.3,0;0,0,0", "0.1,0,0;0,0.05,0;0,0,0.02"
    length, k = 100, 3
    if full:
        phi, delta, length, k = "0.5,0.2;-0.1,0.4", "0.1,0.03;0.03,0.05", 200, 2
    over = warned = empty = 0
    kinds = {}
    for seed in range(reps):
        d = simulate_ml(work, "silent", 5000 + seed, length, k, phi, delta, not full)
        est = estimates(d)
        est["truth"] = truth_beta(os.path.join(d, "TRUTH"))
        w = warnings_of(d)
        miss, tot = band_misses(est)
        if tot == 0:
            empty += 1
            assert "beta_se_incomplete" in w, d
        elif miss > tot / 2:
            over += 1
            warned += bool(w)
            if not w:
                print(f"  silent: seed {5000 + seed}, {miss} of {tot} values outside")
            for kind in set(w):
                kinds[kind] = kinds.get(kind, 0) + 1
        shutil.rmtree(d, ignore_errors=True)
    design = "200 periods, full PHI and DELTA, K = M = 2" if full else "100 periods, diagonal PHI"
    print(f"\nsilent: {design}, {reps} groups under ML")
    print(f"  bands left empty (beta_se_incomplete): {empty}")
    print(f"  bands missing more than half the values: {over}, of which with a warning: "
          f"{warned} {kinds}; silent: {over - warned}")


def check_silentfull(reps, work):
    check_silent(reps, work, True)


def check_band400(reps, work):
    phi, delta = "0.6,0,0;0,0.3,0;0,0,0", "0.1,0,0;0,0.05,0;0,0,0.02"
    results, empty = [], 0
    for seed in range(reps):
        d = simulate_ml(work, "band", 6000 + seed, 400, 3, phi, delta)
        est = estimates(d)
        est["truth"] = truth_beta(os.path.join(d, "TRUTH"))
        if band_misses(est)[1] == 0:
            empty += 1
        results.append(est)
        shutil.rmtree(d, ignore_errors=True)
    print(f"\nband400: 400 periods, diagonal PHI, {reps} groups under ML "
          f"({empty} with bands left empty)")
    print(f"  95% band coverage {band_coverage(results)}")


def check_unitroot(reps, work):
    rows, kinds = [], {}
    for seed in range(reps):
        d = simulate_ml(work, "unitroot", 7000 + seed, 200, 2, "0.95,0;0,0", "0.02,0;0,0.1")
        for kind in set(warnings_of(d)):
            kinds[kind] = kinds.get(kind, 0) + 1
        est = estimates(d)
        spread = [r for r in csv.DictReader(open(os.path.join(d, "KOVA_ESTIMATES.csv")))
                  if r["matrix"] == "PI_ML_SPREAD" and r["row"] == "1"]
        se_ml = float(spread[0]["std_error"]) if spread and spread[0]["std_error"] else float("nan")
        value, se = est[("PI", 1, 1)]
        rows.append((est[("PHI", 1, 1)][0], value, se, se_ml))
        shutil.rmtree(d, ignore_errors=True)
    truth = 1.1

    def cover(sel, i):
        ok = [abs(r[1] - truth) <= 1.96 * r[i] for r in sel if r[i] == r[i]]
        return f"{100 * mean(ok):.1f}% of {len(ok)}"
    low = sorted(rows)[: len(rows) // 3]
    print(f"\nunitroot: diagonal PHI (0.95, 0), 200 periods, {reps} groups under ML")
    print(f"  PI(1) 95% coverage, conditional: {cover(rows, 2)} (lowest third of PHI(1,1): "
          f"{cover(low, 2)})")
    print(f"  PI(1) 95% coverage, with PHI and DELTA: {cover(rows, 3)} (lowest third: "
          f"{cover(low, 3)})")
    print(f"  groups with warnings, by kind: {kinds}")


def main():
    ap = argparse.ArgumentParser()
    ap.add_argument("--reps", type=int, default=200)
    ap.add_argument("--lengths", type=int, nargs="+", default=[100, 400])
    ap.add_argument("--methods", nargs="+", default=["ITERATIVE", "ML", "ORACLE"])
    ap.add_argument("--checks", nargs="+", choices=["silent", "silentfull", "band400", "unitroot"])
    a = ap.parse_args()
    work = tempfile.mkdtemp(prefix="kova_recovery_")
    try:
        if a.checks:
            for check in a.checks:
                globals()["check_" + check](a.reps, work)
            return
        for length in a.lengths:
            for method in a.methods:
                results = [run(length, 1000 + s, method, work) for s in range(a.reps)]
                summarise(results, method, length)
    finally:
        shutil.rmtree(work, ignore_errors=True)


if __name__ == "__main__":
    main()
