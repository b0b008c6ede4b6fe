"""Runs every benchmark module tests/bench/bench_*.py and prints one table.

    python3 tests/bench/run.py [--rounds N] [--only NAME ...]

Each module has run(rounds) -> [row], a row being {"figure", "value", "unit", "target", "ok" (True, False or None
when there is no target), "detail"} and optionally "notes" (lines printed after the table). Every figure is a ratio
of two measurements taken in the same run (or a plain time, for scale), the median over the rounds. Progress goes
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
    text = f"{value:.3f}" if abs(value) < 10 else f"{value:.1f}"
    return text + ("" if row.get("unit") in (None, "", "ratio") else " " + row["unit"])


def table(rows):
    head = ["figure", "value", "target", "result", "detail"]
    cells = [[r["figure"], value_text(r), str(r.get("target", "-")), verdict(r.get("ok")), r.get("detail", "")]
             for r in rows]
    widths = [max(len(head[i]), *(len(c[i]) for c in cells)) for i in range(4)]
    lines = ["  ".join(h.ljust(w) for h, w in zip(head[:4], widths)) + "  " + head[4]]
    lines.append("  ".join("-" * w for w in widths) + "  " + "-" * 6)
    for c in cells:
        lines.append("  ".join(x.ljust(w) for x, w in zip(c[:4], widths)) + "  " + c[4])
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
