#!/bin/bash
# Recovery and coverage of the common model on simulated panels of 20
# groups x 20 periods, K = M = 3 (a constant and two drawn regressors),
# common diagonal PHI (0.6, 0.3, 0) and DELTA (1, 0.5, 0.5), SIGMA**2 1, PI
# (1.1, 2.1, 3.1), the same R panels (default 500) under each design:
#   REML      COMMON MODEL = REML (the default criterion);
#   ML        COMMON MODEL = ML;
#   pergroup  every group by its own maximum likelihood (METHOD = ML,
#             ITERATIONS = 5, no common model): its PHI from ML_PHI;
#   oracle    each group's pass 0 at the true PHI and DELTA (start files):
#             its PI intervals and BETA bands miss only the estimation of PI
#             and SIGMA**2.
# Against the simulator's TRUTH, per design: each PHI(j,j)'s mean, bias,
# spread of the estimates beside the mean standard error, and the coverage
# of its 95% intervals, Wald (estimate -+ 1.96 se) and on the scale of the
# stationary map (the COMMON_PHI_LOWER/UPPER rows; for pergroup the same
# formula applied here to ML_PHI), over the elements with a standard error;
# the coverage of each group's PI (the PI rows of the last pass, and the
# PI_ML_SPREAD rows with the uncertainty of PHI and DELTA) and of the
# 95% bands of BETA(t) (KOVA_BETA.csv) with the normal quantile 1.96 and
# with Student's t quantile of the group's n - q = 20 - 3 degrees of
# freedom. Usage (after building kova and kova_simulate):
#   bench/common_coverage.sh [R [DESIGN...]]
# Not run in CI; under `nice`, about 2.5 minutes per 500 panels of a common
# design on an idle core (per-group ML about twice that).
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
R=${1:-500}
shift || true
designs=${*:-REML ML pergroup oracle}
exec nice -n 15 python3 - "$root" "$R" $designs <<'PY'
import csv, math, os, shutil, subprocess, sys, tempfile

root, R, designs = sys.argv[1], int(sys.argv[2]), sys.argv[3:]
SIM = os.path.join(root, "build", "tools", "kova_simulate")
KOVA = os.path.join(root, "build", "src", "kova")
PHI, PI, EVL, G, T, K = [0.6, 0.3, 0.0], [1.1, 2.1, 3.1], 0.995, 20, 20, 3


def t_quantile(p, df):
    """Student's t quantile by bisection on its distribution function, the
    density integrated by Simpson's rule."""
    c = math.exp(math.lgamma((df + 1) / 2) - math.lgamma(df / 2)) / math.sqrt(df * math.pi)
    dens = lambda x: c * (1 + x * x / df) ** (-(df + 1) / 2)

    def cdf(x, n=2000):
        h = x / n
        s = dens(0) + dens(x) + sum((4 if i % 2 else 2) * dens(i * h) for i in range(1, n))
        return 0.5 + s * h / 3

    lo, hi = 0.0, 20.0
    for _ in range(60):
        mid = 0.5 * (lo + hi)
        lo, hi = (mid, hi) if cdf(mid) < p else (lo, mid)
    return 0.5 * (lo + hi)


Z = 1.959963984540054
TQ = t_quantile(0.975, T - K)


def mapped(phi, se):
    """The interval on the scale of the stationary map: b atanh(phi / b)."""
    if not abs(phi) < EVL or not se > 0:
        return None
    r = phi / EVL
    u, half = EVL * math.atanh(r), Z * se / (1 - r * r)
    return EVL * math.tanh((u - half) / EVL), EVL * math.tanh((u + half) / EVL)


def truth(path):
    pi, beta, part, rows = [], {}, None, 0
    for line in open(path):
        f = line.split()
        if not f or line.startswith("!"):
            continue
        if f[0] in ("PI", "RECORDS"):
            part, rows = f[0], int(f[1])
            continue
        if part == "PI" and rows > 0:
            pi.append(float(f[0]))
            rows -= 1
        elif part == "RECORDS" and f[0].isdigit():
            for k in range(K):
                beta[(int(f[1]), int(f[2]), k + 1)] = float(f[-K + k])
    return pi, beta


class Tally:
    def __init__(self):
        self.panels = self.failed = 0
        self.phi = [[] for _ in range(3)]      # every estimate
        self.se = [[] for _ in range(3)]       # (estimate, se, interval) with a standard error
        self.pi = [0, 0, 0]                    # intervals, covered with 1.96, with t
        self.spread = [0, 0, 0]                # the same by PI_ML_SPREAD
        self.band = [0, 0, 0]
        self.kinds = {}
        self.flagged = [0, 0, 0]               # left out: flagged not identified


def common_phi(est, warnings, tally):
    # PHI(j,j) of a DELTA(j,j) fixed at 0 is flagged not identified: left out.
    flagged = {int(w["value"]) - 1 for w in warnings if w["kind"] == "common_phi_not_identified"}
    lower, upper = {}, {}
    for r in est:
        if r["matrix"] in ("COMMON_PHI_LOWER", "COMMON_PHI_UPPER") and r["row"] == r["column"]:
            (lower if r["matrix"].endswith("LOWER") else upper)[int(r["row"]) - 1] = float(r["value"])
    for r in est:
        if r["matrix"] == "COMMON_PHI" and r["row"] == r["column"]:
            j = int(r["row"]) - 1
            if j in flagged:
                tally.flagged[j] += 1
                continue
            tally.phi[j].append(float(r["value"]))
            if r["std_error"]:
                interval = (lower[j], upper[j]) if j in lower else None
                assert interval is not None, "a PHI with a standard error and no interval"
                tally.se[j].append((float(r["value"]), float(r["std_error"]), interval))


def group_phi(est, last, tally):
    # A DELTA(j,j) on the boundary (no standard error, the run's ml_boundary)
    # leaves component j constant and its PHI(j,j) not identified: left out.
    at_zero = {(r["group"], r["row"]) for r in est
               if r["matrix"] == "ML_DELTA" and r["row"] == r["column"] and not r["std_error"]
               and r["pass"] == str(last[int(r["group"])])}
    for r in est:
        if r["matrix"] == "ML_PHI" and r["row"] == r["column"] and \
                r["pass"] == str(last[int(r["group"])]):
            j, v = int(r["row"]) - 1, float(r["value"])
            if (r["group"], r["row"]) in at_zero:
                tally.flagged[j] += 1
                continue
            tally.phi[j].append(v)
            if r["std_error"] and float(r["std_error"]) > 0:
                se = float(r["std_error"])
                tally.se[j].append((v, se, mapped(v, se)))


def run_panel(design, seed, work, tally):
    d = os.path.join(work, f"{design}_{seed}")
    shape = ["--ng", str(G), "--records", str(T), "--forecast-y", "none", "--k", str(K),
             "--p", "1", "--m", "3", "--phi", "0.6,0,0;0,0.3,0;0,0,0",
             "--delta", "1,0,0;0,0.5,0;0,0,0.5", "--diagonal-phi", "--diagonal-delta",
             "--seed", str(31000 + seed), "--param", "PRINT = 0"]
    extra = {"REML": ["--param", "COMMON MODEL = REML"],
             "ML": ["--param", "COMMON MODEL = ML"],
             "pergroup": ["--iterations", "5", "--param", "METHOD = ML"],
             "oracle": ["--start-phi", "0.6,0,0;0,0.3,0;0,0,0", "--start-delta",
                        "1,0,0;0,0.5,0;0,0,0.5", "--start-sigma2", "1", "--pdata", "--ddata",
                        "--iterations", "1"]}[design]
    subprocess.run([SIM, "--out", d, *shape, *extra], check=True, stdout=subprocess.DEVNULL)
    done = subprocess.run([KOVA], cwd=d, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    try:
        if done.returncode != 0:
            raise FileNotFoundError
        est = list(csv.DictReader(open(os.path.join(d, "KOVA_ESTIMATES.csv"))))
        bands = list(csv.DictReader(open(os.path.join(d, "KOVA_BETA.csv"))))
        warnings = list(csv.DictReader(open(os.path.join(d, "KOVA_WARNINGS.csv"))))
    except FileNotFoundError:
        tally.failed += 1
        shutil.rmtree(d, ignore_errors=True)
        return
    tally.panels += 1
    pi, beta = truth(os.path.join(d, "TRUTH"))
    last = {}
    for r in est:
        if r["group"] and r["pass"]:
            g = int(r["group"])
            last[g] = max(last.get(g, 0), int(r["pass"]))
    if design in ("REML", "ML"):
        common_phi(est, warnings, tally)
    elif design == "pergroup":
        group_phi(est, last, tally)
    for r in est:
        if r["matrix"] in ("PI", "PI_ML_SPREAD") and r["std_error"] and \
                r["pass"] == str(last[int(r["group"])]):
            miss, se = abs(float(r["value"]) - pi[int(r["row"]) - 1]), float(r["std_error"])
            cell = tally.pi if r["matrix"] == "PI" else tally.spread
            cell[:] = [cell[0] + 1, cell[1] + (miss <= Z * se), cell[2] + (miss <= TQ * se)]
    for r in bands:
        if r["std_error"] == "" or r["forecast"] != "0" or r["pass"] != str(last[int(r["group"])]):
            continue
        miss = abs(float(r["beta"]) - beta[(int(r["group"]), int(r["period"]), int(r["k"]))])
        se = float(r["std_error"])
        tally.band = [tally.band[0] + 1, tally.band[1] + (miss <= Z * se), tally.band[2] + (miss <= TQ * se)]
    for w in warnings:
        tally.kinds[w["kind"]] = tally.kinds.get(w["kind"], 0) + 1
    shutil.rmtree(d, ignore_errors=True)


def share(hit, n):
    return f"{100 * hit / n:.1f}%" if n else "-"


def report(design, t):
    print(f"\n{design}: {t.panels} panels ({t.failed} runs failed)")
    if design != "oracle":
        print("  | PHI(j,j) | estimates | not identified | mean | bias | sd | mean se | se/sd | with se"
              " | Wald | map's scale |")
        print("  |---|---|---|---|---|---|---|---|---|---|---|")
        for j in range(3):
            v, s = t.phi[j], t.se[j]
            if not v:
                continue
            m = sum(v) / len(v)
            sd = math.sqrt(sum((x - m) ** 2 for x in v) / max(len(v) - 1, 1))
            mse = sum(x[1] for x in s) / max(len(s), 1)
            wald = sum(abs(x[0] - PHI[j]) <= Z * x[1] for x in s)
            onmap = sum(x[2] is not None and x[2][0] <= PHI[j] <= x[2][1] for x in s)
            print(f"  | {PHI[j]:.1f} | {len(v)} | {t.flagged[j]} | {m:.3f} | {m - PHI[j]:+.3f} | {sd:.3f} | {mse:.3f} "
                  f"| {mse / sd if sd else 0:.2f} | {len(s)} | {share(wald, len(s))} "
                  f"| {share(onmap, len(s))} |")
    print(f"  PI: {t.pi[0]} intervals, coverage {share(t.pi[1], t.pi[0])} (1.96), "
          f"{share(t.pi[2], t.pi[0])} (t({T - K}) {TQ:.3f})")
    if t.spread[0]:
        print(f"  PI_ML_SPREAD: {t.spread[0]} intervals, coverage {share(t.spread[1], t.spread[0])}"
              f" (1.96), {share(t.spread[2], t.spread[0])} (t({T - K}))")
    print(f"  BETA(t) bands: {t.band[0]} values, coverage {share(t.band[1], t.band[0])} (1.96), "
          f"{share(t.band[2], t.band[0])} (t({T - K}))")
    if t.kinds:
        print("  warning rows by kind: " + ", ".join(f"{k} {n}" for k, n in sorted(t.kinds.items())))
    sys.stdout.flush()


work = tempfile.mkdtemp(prefix="kova_common_coverage_")
try:
    for design in designs:
        tally = Tally()
        for seed in range(1, R + 1):
            run_panel(design, seed, work, tally)
        report(design, tally)
finally:
    shutil.rmtree(work, ignore_errors=True)
PY
