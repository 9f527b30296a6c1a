#!/usr/bin/env python3
"""Writes this directory's input files from the Grunfeld investment data.

Eleven firms as eleven groups (identifiers 1..11 in the order the firms first
appear); invest on a constant, value and capital; the last two years of each
firm are forecast records with their y given. Run from this directory:
    python3 make_inputs.py ../../tests/data/grunfeld/grunfeld.csv
"""
import csv
import sys

WIDTH = 20


def field(text):
    return f"{text:>{WIDTH}}"


def main(path):
    with open(path, newline="") as f:
        rows = list(csv.DictReader(f))
    firms = []
    for row in rows:
        if row["firm"] not in firms:
            firms.append(row["firm"])
    last_years = {}
    for row in rows:
        last_years.setdefault(row["firm"], []).append(int(row["year"]))
    forecast = {firm: sorted(years)[-2:] for firm, years in last_years.items()}

    with open("YXDATA1", "w") as data, open("YXDKEY", "w") as keys:
        data.write(field("INVEST") + field("VALUE") + field("CAPITAL") + "\n")
        keys.write("! One key per data record: group (firm) and FY for a forecast\n")
        keys.write("! record whose y is given.\n")
        for row in rows:
            group = firms.index(row["firm"]) + 1
            data.write(field(row["invest"]) + field(row["value"]) + field(row["capital"]) + "\n")
            mark = " FY" if int(row["year"]) in forecast[row["firm"]] else ""
            keys.write(f"{group}{mark}\n")
        keys.write("END OF DATA\n")

    with open("PARAMTRS", "w") as p:
        p.write("! Grunfeld (1950) investment data: 11 firms, 1935-1954.\n")
        p.write("! " + ", ".join(f"{i + 1} = {firm}" for i, firm in enumerate(firms[:4])) + ",\n")
        p.write("! " + ", ".join(f"{i + 5} = {firm}" for i, firm in enumerate(firms[4:8])) + ",\n")
        p.write("! " + ", ".join(f"{i + 9} = {firm}" for i, firm in enumerate(firms[8:])) + "\n")
        p.write(f"""BEGIN GROUP (ALL)
TITLE = GRUNFELD INVESTMENT DATA, 11 FIRMS
T = {len(rows)}
K = 3
P = 1
M = 3
CONST = YES
Z-VECTORS = DEFAULT
L-MATRIX = DEFAULT
INITIAL PHI = DEFAULT
INITIAL DELTA = DEFAULT
DIAGONAL PHI = NO
DIAGONAL DELTA = NO
ITERATIONS = 5
PRINT LEVEL = 1
WIDTH = {WIDTH}
GLS = YES
EVL = 0.995
END GROUP (ALL)
END OF DATA
""")


if __name__ == "__main__":
    main(sys.argv[1] if len(sys.argv) > 1 else "../../tests/data/grunfeld/grunfeld.csv")
