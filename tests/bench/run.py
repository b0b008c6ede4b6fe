"""Runs every benchmark module tests/bench/bench_*.py and prints one table.

    python3 tests/bench/run.py [--rounds N] [--only NAME ...]

Each module has run(rounds) -> [row], a row being {"figure", "value", "unit", "target", "ok" (True, False or None
when there is no target), "detail"} and optionally "rounds" (the per-round values, whose spread the table prints next
to the median and marks when it is wider than the margin to the target) and "notes" (lines printed after the table).
Every figure is a ratio of two measurements taken in the same run (or a plain time, for scale), the median over the
rounds. Progress goes
to stderr; the table and the notes to stdout. Exit code 1 when a module failed to run (its row says why); a
figure above its target does not change the exit code: these are measurements, not tests."""

import argparse
import glob
import importlib.util
import os
import platform
import sys
import time
import traceback

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, HERE)

import benchkit  # noqa: E402


def modules():
    return sorted(glob.glob(os.path.join(HERE, "bench_*.py")))


def load(path):
    name = os.path.splitext(os.path.basename(path))[0]
    spec = importlib.util.spec_from_file_location(name, path)
    module = importlib.util.module_from_spec(spec)
    spec.loader.exec_module(module)
    return module


def verdict(ok):
    return "-" if ok is None else ("pass" if ok else "FAIL")


def value_text(row):
    value = row.get("value")
    if not isinstance(value, (int, float)) or value != value:  # None or NaN
        return "-"
    text = number_text(value)
    return text + ("" if row.get("unit") in (None, "", "ratio") else " " + row["unit"])


def number_text(value):
    return f"{value:.3f}" if abs(value) < 10 else f"{value:.1f}"


def spread_text(row):
    """"min..max" of the row's rounds, "-" when it has none."""
    extent = benchkit.spread(row.get("rounds", []))
    return "-" if extent is None else f"{number_text(extent[0])}..{number_text(extent[1])}"


UNSURE = "*"
UNSURE_NOTE = (f"{UNSURE} the rounds' spread (max - min) is wider than the median's margin to the target: more rounds, "
               "or a quieter machine, may give the other result")


def result_text(row):
    text = verdict(row.get("ok"))
    if row.get("ok") is not None and benchkit.spread_wider_than_margin(row.get("value"), row.get("rounds", []),
                                                                       row.get("target")):
        text += UNSURE
    return text


def table(rows):
    head = ["figure", "value", "spread", "target", "result", "detail"]
    cells = [[r["figure"], value_text(r), spread_text(r), str(r.get("target", "-")), result_text(r),
              r.get("detail", "")] for r in rows]
    fixed = len(head) - 1
    widths = [max(len(head[i]), *(len(c[i]) for c in cells)) for i in range(fixed)]
    lines = ["  ".join(h.ljust(w) for h, w in zip(head[:fixed], widths)) + "  " + head[fixed]]
    lines.append("  ".join("-" * w for w in widths) + "  " + "-" * 6)
    for c in cells:
        lines.append("  ".join(x.ljust(w) for x, w in zip(c[:fixed], widths)) + "  " + c[fixed])
    if any(c[4].endswith(UNSURE) for c in cells):
        lines.append(UNSURE_NOTE)
    return "\n".join(lines)


def main():
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--rounds", type=int, default=5, help="rounds per figure; each figure is their median")
    parser.add_argument("--only", nargs="*", default=[],
                        help="module names to run (e.g. parallel overhead), all when none")
    args = parser.parse_args()
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")

    rows, failed = [], False
    began = time.time()
    load_before = benchkit.load_average()
    for path in modules():
        name = os.path.splitext(os.path.basename(path))[0][len("bench_"):]
        if args.only and name not in args.only:
            continue
        benchkit.say(f"=== {name}")
        try:
            got = load(path).run(args.rounds)
            rows += got
        except Exception as e:  # a module that cannot run still gets its row
            traceback.print_exc()
            rows.append(benchkit.row(name, None, "", "-", None, f"did not run: {type(e).__name__}: {e}"[:300]))
            failed = True
    print(table(rows))
    print()
    print(f"rounds {args.rounds}; {os.cpu_count()} cores ({platform.machine()}); load average "
          f"{load_before} before, {benchkit.load_average()} after; {time.time() - began:.0f} s")
    for r in rows:
        for line in r.get("notes", []):
            print(line)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
