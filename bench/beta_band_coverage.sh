#!/bin/bash
# Coverage of the 95% bands of BETA(t) (KOVA_BETA.csv, std_error) on
# simulated groups: K = M = 2, full PHI ((0.5, 0.2), (-0.1, 0.4)), full
# DELTA, 200 periods, R replications (default 40), two designs:
#   oracle  pass 0 at the true PHI and DELTA (start files), so the bands miss
#           only the estimation of PI and SIGMA**2: about 95% is the check of
#           the formula;
#   ml      METHOD = ML, the final pass at the estimated PHI and DELTA (the
#           bands carry their estimation error by simulation).
# Usage (after building): bench/beta_band_coverage.sh [R]. Not run in CI.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
sim=$root/build/tools/kova_simulate
kova=$root/build/src/kova
R=${1:-40}
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
for design in oracle ml; do
  for seed in $(seq 1 "$R"); do
    d=$work/$design/$seed
    extra=(--param "METHOD = ML")
    [ "$design" = oracle ] && extra=(--start-phi "0.5,0.2;-0.1,0.4" --start-delta "0.1,0.03;0.03,0.05"
                                     --pdata --ddata --iterations 1)
    "$sim" --out "$d" --ng 1 --records 200 --k 2 --p 1 --m 2 --forecast none \
      --phi "0.5,0.2;-0.1,0.4" --delta "0.1,0.03;0.03,0.05" --seed $((9000 + seed)) \
      --param "PRINT = 0" "${extra[@]}" > /dev/null
    (cd "$d" && "$kova" > /dev/null 2>&1)
  done
  python3 - "$work/$design" "$design" <<'PY'
import csv, glob, sys
hit = tot = 0
for d in glob.glob(sys.argv[1] + "/*"):
    truth, records = {}, False
    for line in open(d + "/TRUTH"):
        if line.startswith("RECORDS"):
            records = True
        elif records and line[0].isdigit():
            f = line.split()
            truth[(int(f[2]), 1)], truth[(int(f[2]), 2)] = float(f[-2]), float(f[-1])
    rows = list(csv.DictReader(open(d + "/KOVA_BETA.csv")))
    last = max(int(r["pass"]) for r in rows)
    for r in rows:
        if int(r["pass"]) != last or r["std_error"] == "":
            continue
        key = (int(r["period"]), int(r["k"]))
        hit += abs(float(r["beta"]) - truth[key]) <= 1.96 * float(r["std_error"])
        tot += 1
print("%-7s coverage of the 95%% bands: %.3f (%d values)" % (sys.argv[2], hit / tot, tot))
PY
done
