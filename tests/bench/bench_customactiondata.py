"""CustomActionData: the Google Benchmark program of the native build (tests/bench/CustomActionData_bench.cpp, built
as dd_bench), read through its JSON output. Encoding and decoding a list of 1000 and of 10000 packages (each with
ten registry entries): the time per package, and how the time grows with ten times the input."""

import json
import os
import subprocess

import benchkit as bk

SOURCE_DIR = os.path.abspath(os.path.join(bk.HERE, "..", ".."))
DD_BENCH = os.environ.get("DD_NATIVE_BENCH", os.path.join(SOURCE_DIR, "build", "native", "dd_bench"))


def medians(repetitions):
    result = subprocess.run([DD_BENCH, "--benchmark_filter=^(EncodeDecode|RecordCopy|PlainCopy)/",
                             f"--benchmark_repetitions={repetitions}", "--benchmark_report_aggregates_only=true",
                             "--benchmark_format=json"], capture_output=True, text=True, timeout=900, check=True)
    out = {}
    for b in json.loads(result.stdout)["benchmarks"]:
        if b.get("run_type") == "aggregate" and b.get("aggregate_name") == "median":
            # CPU time: the cases are single-threaded, and a busy machine moves it less than the wall clock.
            scale = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[b["time_unit"]]
            out[b["run_name"]] = b["cpu_time"] * scale
    return out


def run(rounds):
    if not os.path.exists(DD_BENCH):
        raise RuntimeError(f"{DD_BENCH} is not built (cmake --preset native && cmake --build build/native "
                           f"--target dd_bench)")
    bk.say(f"CustomActionData: dd_bench, {max(rounds, 3)} repetitions (load {bk.load_average()})")
    # Google Benchmark's repetitions are cheap: at least three, so that the median is one.
    t = medians(max(rounds, 3))
    small, large = t["EncodeDecode/1000"], t["EncodeDecode/10000"]
    per_package = small / 1000
    scaling = large / small
    copy_ratio = small / t["RecordCopy/1000"]
    # The text of 10000 packages is some 90 MB here (wchar_t is 4 bytes natively): past the caches, every byte
    # costs more, as the copies of the same records and of the same text show in the same run.
    record_scaling = t["RecordCopy/10000"] / t["RecordCopy/1000"]
    text_scaling = t["PlainCopy/10000"] / t["PlainCopy/1000"]
    return [
        bk.row("CustomActionData: time per package", per_package * 1e6, "us", "-", None,
               f"encode+decode of 1000 packages with 10 registry entries each {small * 1e3:.2f} ms CPU (median); "
               f"{copy_ratio:.1f} x a copy of the same records"),
        bk.row("CustomActionData: 10x input", scaling, "ratio", "-", None,
               f"10000 packages {large * 1e3:.1f} ms vs 1000 {small * 1e3:.2f} ms (CPU, medians); the same 10x: "
               f"copy of the records {record_scaling:.1f}, copy of the text {text_scaling:.1f}"),
    ]
