#!/usr/bin/env python3
"""Mutation fuzz run over the user files of kova, kova_prepare and kova_plot.

Each case copies a seed directory, applies a few mutations drawn from a
random generator seeded with (--seed, case number), and runs the program on
it under a timeout. A case fails when the program

  - ends by a signal, or with an exit status other than its clean ones
    (kova 0 or 1, the tools 0 or 2; the sanitizers are given 86 and 87),
  - writes a sanitizer report,
  - runs past the timeout (a hang; the timeout grows with the passes that
    the parameter file asks for, since 999 passes are a long run under the
    sanitizers, not a hang), or
  - changes a file it read: every input is compared byte for byte, except a
    start file (PSAVE.nnn, DSAVE.nnn) that a complete run renamed its own
    save file over, as its log says.

A kova_plot case that ends with 0 fails, too, when a picture or index.html
it wrote is not well-formed XML (Python's parser reads each).

Leftover cases run kova on a seed directory that also holds names a run
writes (scratch files, save files, tables) as symbolic links to a file
outside it, dangling links or directories; such a case also fails when the
file outside changes or a dangling link's target appears.

The failing case's inputs are kept under --keep with a line on what was
mutated; rerun one case alone with --only. Seeds: the example directories,
a few kova_simulate panels (one with start files of an earlier run), the
Grunfeld CSV and a simulated CSV, and the result tables of complete runs.
The exit status is 1 when a case failed, 0 otherwise.
"""
import argparse
import concurrent.futures
import os
import random
import re
import shutil
import subprocess
import sys
import time
import xml.etree.ElementTree as ElementTree
from pathlib import Path

SOURCE = Path(__file__).resolve().parents[2]

# AddressSanitizer reads LSAN_OPTIONS too, so a leak report and an address
# report share 86.
SANITIZER_ENV = {
    "ASAN_OPTIONS": "exitcode=86:detect_leaks=1:abort_on_error=0",
    "LSAN_OPTIONS": "exitcode=86",
    "UBSAN_OPTIONS": "halt_on_error=1:exitcode=87:print_stacktrace=1",
}
SANITIZER_TEXT = re.compile(rb"runtime error:|ERROR: AddressSanitizer|ERROR: LeakSanitizer|"
                            rb"ERROR: UndefinedBehaviorSanitizer")

# Values that make counts, sizes and numbers extreme.
EXTREMES = ["0", "1", "2", "-1", "-2", "3", "60", "61", "150", "151", "256", "257", "999",
            "1000", "12500", "12501", "2147483647", "-2147483648", "2147483648",
            "99999999999999999999", "1E308", "-1E308", "1E-308", "9.99E999", "NaN", "inf",
            "-0", "0.0", "1.5", "", " ", "X", "1,5", "--1", "1E", "+", "."]
PARAMETER_LINES = [
    "T = {n}", "K = {n}", "P = {n}", "M = {n}", "WIDTH = {n}", "ITERATIONS = {n}",
    "PRINT LEVEL = {n}", "RESTRICTIONS ON PHI = {n}", "RESTRICTIONS ON PI = {n}",
    "RESTRICTIONS ON PI INEQ = {n}", "RESTRICTIONS ON DELTA = {n}", "EVLTOL = {n}",
    "CONST = NO", "CONST = YES", "Z-VECTORS = USER", "L-MATRIX = USER",
    "INITIAL PHI = USER", "INITIAL PHI = SAVED", "INITIAL DELTA = USER",
    "INITIAL DELTA = SAVED", "ZERO PHI = YES", "DIAGONAL PHI = YES",
    "DIAGONAL DELTA = YES", "SAVE THE FINAL PHI = YES", "SAVE THE FINAL DELTA = YES",
    "SAVE THE BETA(t) VECTORS = NO", "OLS = YES", "GLS = YES", "STAT = {n}",
    "BEGIN GROUP ({n})", "END GROUP ({n})", "END GROUP (ALL)", "END OF DATA",
]
# Names a run writes: scratch files (fixed and per group), its own save
# files, tables. A leftover of one must never lead the run outside its
# directory.
LEFTOVER_SCRATCH = ["YDATA.001", "XDATA.002", "XZ.001", "TLX.002", "EPSMATRX.001", "XDELTA",
                    "SAVEKEYS", "YSFACTR0", "PSAVE.001.tmp", "DSAVE.002.tmp", "BETASAV.001.tmp",
                    "BETAVECP.002.tmp"]
LEFTOVER_TABLES = ["KOVA_ESTIMATES.csv", "KOVA_BETA.csv.tmp", "KOVA_BETA.csv.passes.tmp"]
NUMBER = re.compile(rb"[-+]?(?:\d+\.?\d*|\.\d+)(?:[EeDd][-+]?\d+)?")
WRITTEN_BY_KOVA = re.compile(r"^(KOVAOUT|KOVALOG|KOVA_.*|BETASAV\..*|BETAVECP\..*|"
                             r"ECPIMU\.OUT|INEQPI\.OUT|console\.txt)$")


# ---------------------------------------------------------------- mutations
def lines_of(data):
    return data.split(b"\n")


def mutate_lines(rng, data):
    lines = lines_of(data)
    i = rng.randrange(len(lines))
    op = rng.choice(["delete", "duplicate", "swap", "blank", "repeat"])
    if op == "delete" and len(lines) > 1:
        del lines[i]
    elif op == "duplicate":
        lines.insert(i, lines[i])
    elif op == "swap":
        j = rng.randrange(len(lines))
        lines[i], lines[j] = lines[j], lines[i]
    elif op == "blank":
        lines[i] = b""
    else:  # a line repeated many times: extreme record counts
        lines[i:i + 1] = [lines[i]] * rng.choice([50, 500, 13000])
    return b"\n".join(lines), f"lines:{op}@{i}"


def mutate_number(rng, data):
    matches = list(NUMBER.finditer(data))
    if not matches:
        return data, "number:none"
    m = rng.choice(matches)
    value = rng.choice(EXTREMES).encode()
    return data[:m.start()] + value + data[m.end():], f"number@{m.start()}={value.decode()}"


def mutate_field(rng, data):
    """Overwrites a run of columns of one line: fixed-width fields shift."""
    lines = lines_of(data)
    i = rng.randrange(len(lines))
    line = bytearray(lines[i])
    at = rng.randrange(len(line) + 1)
    text = rng.choice([b" " * rng.randint(1, 12), b"*" * 8, b"\t", b"1" * 90, b"E+", b"\x00",
                       b"\xff\xfe", b"!", b"\r", b",,,", b'"'])
    if rng.random() < 0.5:
        line[at:at + len(text)] = text
    else:
        line[at:at] = text
    lines[i] = bytes(line)
    return b"\n".join(lines), f"field@{i}:{at}"


def mutate_bytes(rng, data):
    op = rng.choice(["truncate", "flip", "insert"])
    if op == "truncate":
        n = rng.randrange(len(data) + 1)
        return data[:n], f"truncate@{n}"
    if not data:
        return b"\x00", "insert@0"
    at = rng.randrange(len(data))
    if op == "flip":
        return data[:at] + bytes([data[at] ^ (1 << rng.randrange(8))]) + data[at + 1:], f"flip@{at}"
    return data[:at] + bytes([rng.randrange(256)]) + data[at:], f"insert@{at}"


def mutate_text(rng, data):
    """Control characters, markup and bytes that are not UTF-8 inside a
    field: the texts kova_plot writes into its pictures and its page."""
    lines = lines_of(data)
    i = rng.randrange(len(lines))
    at = rng.randrange(len(lines[i]) + 1)
    text = rng.choice([b"\x01", b"\x1b[31m", b"\x7f", b"\xc2\x85", b"\xff", b"\xe2\x82", b"\xed\xa0\x80",
                       b"<g>", b"&amp", b"]]>", b"'\"", b"\x00"])
    lines[i] = lines[i][:at] + text + lines[i][at:]
    return b"\n".join(lines), f"text@{i}:{at}"


def xml_problem(directory):
    """The first picture or page under plots/ that is not well-formed XML."""
    for path in sorted((directory / "plots").glob("*")):
        try:
            ElementTree.parse(path)
        except ElementTree.ParseError as e:
            return f"{path.name} is not well-formed XML ({e})"
    return None


def mutate_keys(rng, data):
    """Key-file mutations: forecast letters, new or extreme groups, and a
    whole group turned into forecast records."""
    lines = lines_of(data)
    keys = [i for i, l in enumerate(lines) if re.match(rb"^\s*\d+", l)]
    if not keys:
        return data, "keys:none"
    op = rng.choice(["forecast", "group", "all-forecast", "one-left", "letters"])
    i = rng.choice(keys)
    group = re.match(rb"^\s*(\d+)", lines[i]).group(1)
    mine = [k for k in keys if re.match(rb"^\s*" + group + rb"\b", lines[k])]
    if op == "forecast":
        lines[i] = group + rng.choice([b" F", b" FY", b" Y", b" f", b" FF"])
    elif op == "group":
        lines[i] = rng.choice([b"0", b"150", b"151", b"-1", b"999", b"12"]) + rng.choice(
            [b"", b" F", b" FY"])
    elif op == "all-forecast":
        for k in mine:
            lines[k] = group + b" F"
    elif op == "one-left":
        for k in mine[1:]:
            lines[k] = group + b" FY"
    else:
        lines[i] = lines[i] + rng.choice([b" FY", b" x", b" !", b" 7"])
    return b"\n".join(lines), f"keys:{op}@{i}"


def mutate_parameters(rng, data):
    lines = lines_of(data)
    statement = rng.choice(PARAMETER_LINES).format(n=rng.choice(EXTREMES))
    i = rng.randrange(1, len(lines)) if len(lines) > 1 else 0
    if rng.random() < 0.5:
        lines.insert(i, statement.encode())
    else:
        lines[i] = statement.encode()
    return b"\n".join(lines), f"param@{i}:{statement}"


def mutate_file(rng, name, data):
    if name.startswith(("PSAVE", "DSAVE")):
        return mutate_bytes(rng, data)
    choices = [mutate_lines, mutate_number, mutate_number, mutate_field, mutate_bytes]
    if name == "YXDKEY":
        choices += [mutate_keys] * 3
    if name == "PARAMTRS":
        choices += [mutate_parameters] * 3
    return rng.choice(choices)(rng, data)


# ---------------------------------------------------------------- running
def run(command, cwd, timeout):
    env = dict(os.environ, **SANITIZER_ENV)
    start = time.monotonic()
    try:
        p = subprocess.run(command, cwd=cwd, env=env, stdout=subprocess.PIPE,
                           stderr=subprocess.STDOUT, timeout=timeout)
        return p.returncode, p.stdout, time.monotonic() - start
    except subprocess.TimeoutExpired as e:
        return None, e.stdout or b"", timeout


def passes_asked(paramtrs):
    """The largest iteration count of the parameter file (5 when none)."""
    counts = [int(m.group(1)) for m in re.finditer(rb"(?im)^[^=!\n]*ITER[^=\n]*=\s*(\d{1,9})\s*$",
                                                   paramtrs)]
    return max(counts, default=5)


def snapshot(directory):
    return {p.name: p.read_bytes() for p in directory.iterdir() if p.is_file()}


def verdict(status, output, clean, before, directory):
    if status is None:
        return "hang (timeout)"
    if status < 0:
        return f"signal {-status}"
    if SANITIZER_TEXT.search(output):
        return f"sanitizer report (exit {status})"
    if status not in clean:
        return f"exit status {status}"
    log = (directory / "KOVALOG").read_bytes() if (directory / "KOVALOG").exists() else b""
    for name, data in before.items():
        path = directory / name
        if path.exists() and path.read_bytes() == data:
            continue
        renamed = f"RENAMING OF FILE {name}.tmp TO {name}.".encode()
        if status == 0 and renamed in log:
            continue
        return f"input {name} {'changed' if path.exists() else 'deleted'}"
    return None


class Campaign:
    def __init__(self, args):
        self.args = args
        self.build = Path(args.build).resolve()
        self.work = Path(args.work).resolve()
        self.keep = Path(args.keep).resolve()
        self.kova = self.build / "src" / "kova"
        self.prepare = self.build / "tools" / "kova_prepare"
        self.plot = self.build / "tools" / "kova_plot"
        self.simulate = self.build / "tools" / "kova_simulate"

    # Seeds -----------------------------------------------------------
    def make_seeds(self):
        seeds = self.work / "seeds"
        shutil.rmtree(self.work, ignore_errors=True)
        seeds.mkdir(parents=True)
        kova_seeds = []
        for example in sorted((SOURCE / "examples").iterdir()):
            if not (example / "PARAMTRS").exists():
                continue  # a folder of CSV panels, not a run directory
            target = seeds / f"example_{example.name}"
            target.mkdir()
            for f in example.iterdir():
                if f.is_file() and f.suffix not in (".md", ".png") and f.name not in (
                        "TRUTH", "GROUPS.csv"):
                    shutil.copy(f, target / f.name)
            kova_seeds.append(target)
        panels = [
            "--ng 2 --records 8 --k 2 --p 1 --m 2 --width 10 --iterations 2",
            "--ng 3 --records 6,9,12 --k 3 --p 2 --m 2 --width 12 --z user --ldata --pdata"
            " --ddata --iterations 2 --forecast 3 --interleave",
            "--ng 1 --records 10 --k 1 --p 1 --m 1 --width 8 --iterations 3 --diagonal-phi"
            " --forecast-y none",
            "--ng 2 --records 10 --k 2 --p 2 --m 2 --width 14 --iterations 2"
            " --restrict-pi \"1:1=1\" --restrict-pi-ineq \"2:1=-50\"",
        ]
        for n, options in enumerate(panels):
            target = seeds / f"simulated_{n}"
            subprocess.run(f"{self.simulate} --out {target} --seed {n + 1} {options}",
                           shell=True, check=True, stdout=subprocess.DEVNULL)
            (target / "TRUTH").unlink(missing_ok=True)
            kova_seeds.append(target)
        # Start files of an earlier run, read back with INITIAL ... = SAVED.
        saved = seeds / "saved_start_files"
        shutil.copytree(seeds / "simulated_0", saved)
        params = (saved / "PARAMTRS").read_text()
        (saved / "PARAMTRS").write_text(params.replace(
            "END GROUP (ALL)",
            "SAVE THE FINAL PHI = YES\nSAVE THE FINAL DELTA = YES\nEND GROUP (ALL)"))
        subprocess.run([str(self.kova)], cwd=saved, stdout=subprocess.DEVNULL, check=True,
                       env=dict(os.environ, **SANITIZER_ENV))
        results = seeds / "results"
        results.mkdir()
        shutil.copytree(saved, results / "simulated_0")
        for f in list(saved.iterdir()):
            if WRITTEN_BY_KOVA.match(f.name):
                f.unlink()
        (saved / "PARAMTRS").write_text(params.replace(
            "END GROUP (ALL)", "INITIAL PHI = SAVED\nINITIAL DELTA = SAVED\nEND GROUP (ALL)"))
        kova_seeds.append(saved)
        self.kova_seeds = kova_seeds

        # Result tables of complete runs, for kova_plot.
        grunfeld = results / "grunfeld"
        shutil.copytree(seeds / "example_grunfeld-firms", grunfeld)
        subprocess.run([str(self.kova)], cwd=grunfeld, stdout=subprocess.DEVNULL, check=True)
        self.plot_seeds = [grunfeld, results / "simulated_0"]
        for d in self.plot_seeds:
            for f in list(d.iterdir()):
                if not (f.name.startswith("KOVA_") or f.name in ("GROUPS.csv", "PERIODS.csv")):
                    f.unlink()

        # CSV panels for kova_prepare, with the options that fit each.
        csv = seeds / "csv"
        csv.mkdir()
        lines = (SOURCE / "tests/data/grunfeld/grunfeld.csv").read_text().splitlines()
        (csv / "grunfeld.csv").write_text("\n".join(lines[:61]) + "\n")  # three firms
        rows = ["unit,t,y,x1,x2,z,fc"]
        for g in ("a", "b"):
            for t in range(1, 9):
                rows.append(f"{g},{t},{1.5 * t + (3 if g == 'b' else 0)},{t * t / 7:.4f},"
                            f"{(t * 37) % 11 - 5},{t % 2},{1 if t > 6 else 0}")
        (csv / "panel.csv").write_text("\n".join(rows) + "\n")
        self.csv_seeds = [
            (csv / "grunfeld.csv",
             "--group firm --y invest --x value,capital --time year --forecast-last 2"),
            (csv / "panel.csv",
             "--group unit --y y --x x1,x2 --z z --time t --forecast-column fc"),
            (csv / "grunfeld.csv",
             "--group firm --y invest --x value,capital --time year --random constant,capital"
             " --diagonal --allow-gaps"),
        ]

    # Cases -----------------------------------------------------------
    def kova_case(self, n, rng):
        seed = rng.choice(self.kova_seeds)
        case = self.work / f"kova_{n}"
        shutil.copytree(seed, case)
        names = sorted(p.name for p in case.iterdir())
        done = [seed.name]
        for _ in range(rng.choice([1, 1, 2, 3])):
            name = rng.choice(names)
            data, what = mutate_file(rng, name, (case / name).read_bytes())
            (case / name).write_bytes(data)
            done.append(f"{name}:{what}")
        passes = passes_asked((case / "PARAMTRS").read_bytes()) if "PARAMTRS" in names else 5
        return case, [str(self.kova)], {0, 1}, done, max(1.0, passes / 100)

    def leftover_case(self, n, rng):
        seed = rng.choice(self.kova_seeds)
        case = self.work / f"leftover_{n}"
        shutil.copytree(seed, case)
        outside = self.work / f"leftover_{n}.outside"
        outside.write_bytes(b"a file outside the run directory\n")
        done = [seed.name]
        for _ in range(rng.choice([1, 2, 3])):
            name = rng.choice(LEFTOVER_SCRATCH + LEFTOVER_TABLES)
            path = case / name
            if path.exists() or path.is_symlink():
                continue
            # A table name may be replaced (a link to one is removed, as an
            # earlier run's table is): only a directory is kept in its way.
            kind = "directory" if name in LEFTOVER_TABLES else rng.choice(
                ["link", "dangling", "directory"])
            if kind == "link":
                path.symlink_to(outside)
            elif kind == "dangling":
                path.symlink_to(self.work / f"leftover_{n}.absent")
            else:
                path.mkdir()
                (path / "kept").write_bytes(b"kept\n")
            done.append(f"{name}:{kind}")
        return case, [str(self.kova)], {0, 1}, done, 1.0

    def outside_problem(self, n):
        outside = self.work / f"leftover_{n}.outside"
        absent = self.work / f"leftover_{n}.absent"
        problem = None
        if outside.read_bytes() != b"a file outside the run directory\n":
            problem = "a file outside the run directory changed"
        elif absent.exists():
            problem = "a file outside the run directory was created"
        outside.unlink(missing_ok=True)
        absent.unlink(missing_ok=True)
        return problem

    def prepare_case(self, n, rng):
        panel, options = rng.choice(self.csv_seeds)
        case = self.work / f"prepare_{n}"
        case.mkdir()
        target = case / panel.name
        data = panel.read_bytes()
        done = [panel.name]
        for _ in range(rng.choice([1, 2, 3])):
            mutate = rng.choice([mutate_lines, mutate_number, mutate_field, mutate_bytes, mutate_text])
            data, what = mutate(rng, data)
            done.append(what)
        target.write_bytes(data)
        command = [str(self.prepare), panel.name, *options.split(), "--out", "run"]
        return case, command, {0, 2}, done, 1.0

    def plot_case(self, n, rng):
        seed = rng.choice(self.plot_seeds)
        case = self.work / f"plot_{n}"
        shutil.copytree(seed, case)
        names = sorted(p.name for p in case.iterdir())
        done = [seed.name]
        for _ in range(rng.choice([1, 2, 3])):
            name = rng.choice(names)
            mutate = rng.choice([mutate_lines, mutate_number, mutate_number, mutate_field,
                                 mutate_bytes, mutate_text])
            data, what = mutate(rng, (case / name).read_bytes())
            (case / name).write_bytes(data)
            done.append(f"{name}:{what}")
        return case, [str(self.plot), "."], {0, 2}, done, 1.0

    def one(self, kind, n):
        rng = random.Random(f"{self.args.seed}/{kind}/{n}")
        make = {"kova": self.kova_case, "prepare": self.prepare_case, "plot": self.plot_case,
                "leftover": self.leftover_case}
        case, command, clean, done, longer = make[kind](n, rng)
        before = snapshot(case)
        status, output, seconds = run(command, case, self.args.timeout * longer)
        problem = verdict(status, output, clean, before, case)
        if kind == "plot" and status == 0 and not problem:
            problem = xml_problem(case)
        if kind == "leftover":
            problem = problem or self.outside_problem(n)
        if problem:
            kept = self.keep / f"{kind}_{n}"
            shutil.rmtree(kept, ignore_errors=True)
            kept.mkdir(parents=True)
            for name, data in before.items():
                (kept / name).write_bytes(data)
            (kept / "FUZZ_CASE.txt").write_text(
                f"{problem}\nrerun: {sys.argv[0]} --build {self.args.build} --seed "
                f"{self.args.seed} --only {kind}:{n}\nmutations: {' | '.join(done)}\n"
                f"command: {' '.join(command)}\n\n" + output[-4000:].decode(errors="replace"))
        shutil.rmtree(case, ignore_errors=True)
        return kind, n, problem, seconds, done


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--build", default="build-sanitize", help="build directory")
    parser.add_argument("--seed", type=int, default=1)
    parser.add_argument("--kova-cases", type=int, default=1000)
    parser.add_argument("--prepare-cases", type=int, default=200)
    parser.add_argument("--plot-cases", type=int, default=200)
    parser.add_argument("--leftover-cases", type=int, default=100)
    parser.add_argument("--timeout", type=float, default=60.0, help="seconds per case")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--work", default="fuzz-work", help="scratch directory (replaced)")
    parser.add_argument("--keep", default="fuzz-failures", help="where failing cases go")
    parser.add_argument("--only", help="one case, as KIND:NUMBER (kova:17)")
    args = parser.parse_args()

    campaign = Campaign(args)
    started = time.monotonic()
    campaign.make_seeds()
    if args.only:
        kind, n = args.only.split(":")
        cases = [(kind, int(n))]
    else:
        cases = ([("kova", n) for n in range(args.kova_cases)] +
                 [("prepare", n) for n in range(args.prepare_cases)] +
                 [("plot", n) for n in range(args.plot_cases)] +
                 [("leftover", n) for n in range(args.leftover_cases)])
    failures = []
    slowest = (0.0, None)
    with concurrent.futures.ThreadPoolExecutor(max_workers=args.jobs) as pool:
        for kind, n, problem, seconds, done in pool.map(lambda c: campaign.one(*c), cases):
            slowest = max(slowest, (seconds, f"{kind}:{n}"))
            if problem:
                failures.append(f"{kind}:{n}: {problem} ({' | '.join(done)})")
                print(f"FAIL {failures[-1]}", flush=True)
    shutil.rmtree(campaign.work, ignore_errors=True)
    print(f"fuzz run, seed {args.seed}: {len(cases)} cases in "
          f"{time.monotonic() - started:.0f} s (slowest {slowest[1]}, {slowest[0]:.1f} s); "
          f"{len(failures)} failed" + (f", inputs kept in {campaign.keep}" if failures else ""))
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
