#!/bin/bash
# Coverage of the common model's 95% intervals on simulated panels of 20
# groups x 20 periods, K = M = 3 (a constant and two drawn regressors),
# common diagonal PHI (0.6, 0.3, 0) and DELTA (1, 0.5, 0.5), SIGMA**2 1, PI
# (1.1, 2.1, 3.1), R panels (default 100) under REML and ML: PHI's
# intervals (COMMON_PHI rows with a standard error), each group's PI
# (PI rows of pass 0) and the 95% bands of BETA(t) (KOVA_BETA.csv), against
# the simulator's TRUTH. Usage (after building kova and kova_simulate):
# bench/common_coverage.sh [R]. Not run in CI. A third design, oracle, runs
# each group's pass 0 at the true PHI and DELTA (start files): its PI intervals
# and BETA bands miss only the estimation of PI and SIGMA**2.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sim=$root/build/tools/kova_simulate
kova=$root/build/src/kova
R=${1:-100}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for criterion in REML ML oracle; do
  for seed in $(seq 1 "$R"); do
    d=$work/$criterion/$seed
    design=(--param "COMMON MODEL = $criterion")
    [ "$criterion" = oracle ] && design=(--start-phi "0.6,0,0;0,0.3,0;0,0,0"
      --start-delta "1,0,0;0,0.5,0;0,0,0.5" --start-sigma2 1 --pdata --ddata --iterations 1)
    "$sim" --out "$d" --ng 20 --records 20 --forecast-y none --k 3 --p 1 --m 3 \
      --phi "0.6,0,0;0,0.3,0;0,0,0" --delta "1,0,0;0,0.5,0;0,0,0.5" --diagonal-phi \
      --diagonal-delta --seed $((31000 + seed)) "${design[@]}" --param "PRINT = 0" > /dev/null
    (cd "$d" && "$kova" > /dev/null 2>&1) || echo "panel $seed: the run failed"
  done
  python3 - "$work/$criterion" "$criterion" <<'PY'
import csv, glob, sys
# Each group's SIGMA**2 has 20 - 3 degrees of freedom: beside the normal
# quantile, the coverage with Student's t quantile of 17 degrees of freedom.
wide = 2.109816  # its 97.5% point

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
            for k in range(3):
                beta[(int(f[1]), int(f[2]), k + 1)] = float(f[-3 + k])
    return pi, beta

phi_true = [0.6, 0.3, 0.0]
phi_hit, phi_n, phi_sum, panels = [0] * 3, [0] * 3, [0.0] * 3, 0
pi_hit = pi_n = beta_hit = beta_n = pi_wide = beta_wide = 0
for d in sorted(glob.glob(sys.argv[1] + "/*")):
    try:
        est = list(csv.DictReader(open(d + "/KOVA_ESTIMATES.csv")))
        bands = list(csv.DictReader(open(d + "/KOVA_BETA.csv")))
    except FileNotFoundError:
        continue
    panels += 1
    pi, beta = truth(d + "/TRUTH")
    for r in est:
        if r["matrix"] == "COMMON_PHI" and r["row"] == r["column"]:
            j = int(r["row"]) - 1
            phi_sum[j] += float(r["value"])
            if r["std_error"]:
                phi_n[j] += 1
                phi_hit[j] += abs(float(r["value"]) - phi_true[j]) <= 1.96 * float(r["std_error"])
        elif r["matrix"] == "PI" and r["pass"] == "0" and r["std_error"]:
            pi_n += 1
            miss = abs(float(r["value"]) - pi[int(r["row"]) - 1])
            pi_hit += miss <= 1.96 * float(r["std_error"])
            pi_wide += miss <= wide * float(r["std_error"])
    for r in bands:
        if r["pass"] != "0" or r["std_error"] == "" or r["forecast"] != "0":
            continue
        key = (int(r["group"]), int(r["period"]), int(r["k"]))
        beta_n += 1
        miss = abs(float(r["beta"]) - beta[key])
        beta_hit += miss <= 1.96 * float(r["std_error"])
        beta_wide += miss <= wide * float(r["std_error"])
print("%s: %d panels" % (sys.argv[2], panels))
for j in range(3):
    print("  PHI(%d,%d) true %.1f  mean %.3f  coverage %.3f (of %d with a standard error)"
          % (j + 1, j + 1, phi_true[j], phi_sum[j] / max(panels, 1),
             phi_hit[j] / max(phi_n[j], 1), phi_n[j]))
print("  PI coverage %.3f, with t(17) %.3f (%d intervals)   BETA band coverage %.3f, with t(17)"
      " %.3f (%d values)" % (pi_hit / max(pi_n, 1), pi_wide / max(pi_n, 1), pi_n,
                             beta_hit / max(beta_n, 1), beta_wide / max(beta_n, 1), beta_n))
PY
done
