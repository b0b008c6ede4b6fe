"""The benchmarks' reading of the installer log: action windows, package timelines and their overlap."""

import io
import os
import shutil
import sys
import tempfile
import types
import unittest
from unittest import mock

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchkit as bk  # noqa: E402
import bench_calls  # noqa: E402
import bench_overhead  # noqa: E402
import bench_scheduling  # noqa: E402
import profile_calls  # noqa: E402
import run  # noqa: E402

# Two packages on two threads of one deferred action, their lines reaching the log out of time order, between an
# immediate action's lines and an installer line that the library did not write.
LOG = "\n".join([
    "Action start 23:59:59: InstallDrivers.",
    "InstallDrivers (1a4:0140) [23:59:59:900]: The package row 'a' was successfully read.",
    "InstallDrivers (1a4:0140) [23:59:59:950]: InstallDrivers: finished. Return value 0.",
    "Action start 00:00:00: InstallDriversDeferred_x64.",
    "InstallDriversDeferred (1a4:0158) [00:00:00:105]:  - Installing filter driver 'a' from 'C:\\x\\a.inf'.",
    "InstallDriversDeferred (1a4:015c) [00:00:00:100]:  - Installing filter driver 'b' from 'C:\\x\\b.inf'.",
    "InstallDriversDeferred_x64:  a utility line without a time stamp",
    # Two lines that reached the log at once, joined on one.
    "InstallDriversDeferred (1a4:0158) [00:00:00:300]: The queue has finished committing.InstallDriversDeferred "
    "(1a4:015c) [00:00:00:240]: Actual inf section is 'DefaultInstall.NTamd64'.",
    "InstallDriversDeferred (1a4:015c) [00:00:00:250]: The filter driver 'b' was successfully installed.",
    "InstallDriversDeferred (1a4:0158) [00:00:00:400]: The filter driver 'a' was successfully installed.",
    "InstallDriversDeferred (1a4:0148) [00:00:00:410]: InstallDriversDeferred: finished. Return value 0.",
    "InstallDriversFinalize (1a4:01c8) [00:00:00:500]: InstallDriversFinalize: finished. Return value 0.",
])


class LogReading(unittest.TestCase):
    def setUp(self):
        self.lines = bk.library_lines(LOG)

    def test_library_lines_are_read_with_their_thread_and_time_across_midnight(self):
        self.assertEqual(len(self.lines), 10)
        first, deferred = self.lines[0], self.lines[2]
        self.assertEqual((first.action, first.pid, first.tid), ("InstallDrivers", 0x1a4, 0x140))
        self.assertEqual(first.ms, 86399900)
        # After midnight the clock goes on from the day before instead of starting again.
        self.assertEqual(deferred.ms, 86400000 + 105)

    def test_lines_joined_on_one_log_line_are_split(self):
        joined = [x for x in self.lines if x.ms % 86400000 in (300, 240)]
        self.assertEqual([(x.tid, x.text) for x in joined],
                         [(0x158, "The queue has finished committing."),
                          (0x15c, "Actual inf section is 'DefaultInstall.NTamd64'.")])

    def test_action_window_runs_from_the_earliest_line_to_the_closing_line(self):
        first, last, lines = bk.action_window(self.lines, "InstallDriversDeferred")
        self.assertEqual(last - first, 310)
        self.assertEqual(len(lines), 7)
        immediate = bk.action_window(self.lines, "InstallDrivers")
        self.assertEqual(immediate[1] - immediate[0], 50)
        self.assertIsNone(bk.action_window(self.lines, "UninstallDrivers"))

    def test_an_action_that_did_not_finish_has_no_window(self):
        lines = [x for x in self.lines if "Deferred: finished" not in x.text]
        self.assertIsNone(bk.action_window(lines, "InstallDriversDeferred"))

    def test_each_package_owns_its_threads_lines_from_its_opening_to_its_closing_line(self):
        _, _, lines = bk.action_window(self.lines, "InstallDriversDeferred")
        timelines = bk.package_timelines(lines)
        self.assertEqual(sorted(timelines), ["a", "b"])
        a, b = timelines["a"], timelines["b"]
        self.assertEqual((a["tid"], a["end"] - a["start"], len(a["lines"])), (0x158, 295, 3))
        self.assertEqual((b["tid"], b["end"] - b["start"], len(b["lines"])), (0x15c, 150, 3))
        self.assertEqual([d for _, d in bk.step_durations(a)], [195, 100, 0])
        # b runs 100..250, a 105..400: both under way from 105 to 250.
        self.assertEqual(bk.overlap_ms(timelines), (145, 300))


# The logging floor's action: lines from two package threads, one after the other, and its closing line from the
# action's own thread.
FLOOR_LOG = "\n".join([
    "Action start 10:00:00: FloorInstallPackages.",
    "FloorInstallPackages (2b0:0170) [10:00:00:100]: Floor line 1 of 2 after step 'open' of 'C:\\x\\a.inf'.",
    "FloorInstallPackages (2b0:0170) [10:00:00:180]: Floor line 2 of 2 after step 'section' of 'C:\\x\\a.inf'.",
    "FloorInstallPackages (2b0:0174) [10:00:00:250]: Floor line 1 of 1 after step 'section' of 'C:\\x\\b.inf'.",
    "FloorInstallPackages (2b0:016c) [10:00:00:300]: FloorInstallPackages: finished. Return value 0.",
])


class LoggingFloor(unittest.TestCase):
    def test_the_floor_window_counts_its_package_lines_without_the_closing_one(self):
        seconds, lines = bench_overhead.floor_window(FLOOR_LOG)
        self.assertAlmostEqual(seconds, 0.2)
        self.assertEqual(lines, 3)

    def test_a_floor_that_did_not_finish_is_an_error(self):
        with self.assertRaises(RuntimeError):
            bench_overhead.floor_window(FLOOR_LOG.rsplit("\n", 1)[0])

    def test_the_product_lines_the_floor_is_given_are_those_of_its_package_threads(self):
        # Three lines of package a and three of b; the immediate action's and the closing lines are not theirs.
        _, _, _, (_, count) = bench_overhead.profile(LOG)
        self.assertEqual(count, 6)


class Spread(unittest.TestCase):
    def test_target_limits_are_read_from_the_targets_text(self):
        cases = [("<= 1.3", ("<=", 1.3)), ("<= 0.650 (floor + 0.05)", ("<=", 0.65)), (">= 2", (">=", 2.0)),
                 ("-", None), ("", None), (None, None)]
        for text, expected in cases:
            with self.subTest(target=text):
                self.assertEqual(bk.target_limit(text), expected)

    def test_spread_is_the_rounds_minimum_and_maximum_leaving_out_what_is_no_number(self):
        self.assertEqual(bk.spread([1.2, 0.9, float("nan"), 1.5, None]), (0.9, 1.5))
        self.assertIsNone(bk.spread([]))

    def test_a_spread_wider_than_the_margin_to_the_target_is_told(self):
        cases = [
            # (median, rounds, target, wider)
            (1.0, [0.9, 1.0, 1.1], "<= 1.3", False),  # 0.2 wide, 0.3 from the target
            (1.2, [1.0, 1.2, 1.4], "<= 1.3", True),  # 0.4 wide, 0.1 from the target
            (1.5, [1.45, 1.5, 1.52], "<= 1.3", False),  # clearly above: narrow spread
            (1.4, [1.0, 1.4, 1.6], "<= 1.3", True),  # above, but rounds below the target too
            (1.2, [1.0, 1.2, 1.4], "-", False),  # no target, nothing to tell
        ]
        for median, rounds, target, wider in cases:
            with self.subTest(median=median, rounds=rounds, target=target):
                self.assertEqual(bk.spread_wider_than_margin(median, rounds, target), wider)

    def test_the_table_prints_the_spread_and_marks_an_unsure_result(self):
        rows = [bk.row("sure", 1.0, "ratio", "<= 1.3", True, "d1", rounds=[0.9, 1.0, 1.1]),
                bk.row("unsure", 1.2, "ratio", "<= 1.3", True, "d2", rounds=[1.0, 1.2, 1.4]),
                bk.row("no rounds", 4.0, "ms", "", None, "d3")]
        lines = run.table(rows).splitlines()
        sure, unsure, plain = (next(x for x in lines if x.startswith(name)) for name in ("sure", "unsure", "no r"))
        self.assertIn("0.900..1.100", sure)
        self.assertRegex(sure, r"\bpass\s")
        self.assertIn("1.000..1.400", unsure)
        self.assertRegex(unsure, r"\bpass\*\s")
        self.assertRegex(plain, r"4\.000 ms\s+-\s")
        self.assertEqual(lines[-1], run.UNSURE_NOTE)


# Relay trace lines: the custom action's own calls on thread 0040, one of them calling another traced function
# inside, a call on another thread of the same host, and a service process that never calls the installer.
TRACE = "\n".join([
    "099.000:0030:0040:Call msi.MsiGetPropertyW(00000001,6b00a000 L\"CustomActionData\",0012f000,0012f100) ret=6b0010",
    "099.001:0030:0040:Ret  msi.MsiGetPropertyW() retval=00000000 ret=6b0010",
    "099.500:0088:0090:Call advapi32.OpenSCManagerW(00000000,00000000,00000001) ret=7b000100",
    "099.501:0088:0090:Ret  advapi32.OpenSCManagerW() retval=00c00000 ret=7b000100",
    "100.000:0030:0040:Call setupapi.SetupOpenInfFileW(0012f000,00000000,00000002,00000000) ret=6b001234",
    "100.001:0030:0040:Ret  setupapi.SetupOpenInfFileW() retval=00a01000 ret=6b001234",
    "100.002:0030:0040:Call setupapi.SetupInstallServicesFromInfSectionW(00a01000,0012f100,00000000) ret=6b001250",
    "100.003:0030:0040:Call advapi32.OpenSCManagerW(00000000,00000000,000f003f) ret=7b012345",
    "100.004:0030:0040:Ret  advapi32.OpenSCManagerW() retval=00b00000 ret=7b012345",
    "100.009:0030:0040:Ret  setupapi.SetupInstallServicesFromInfSectionW() retval=00000001 ret=6b001250",
    "100.010:0030:0044:Call advapi32.OpenSCManagerW(00000000,00000000,00000004) ret=6b001300",
    "100.011:0030:0044:Ret  advapi32.OpenSCManagerW() retval=00b00010 ret=6b001300",
    "trace:something else",
])


class CallCounts(unittest.TestCase):
    def test_only_the_hosts_direct_calls_are_counted(self):
        self.assertEqual(profile_calls.direct_calls(TRACE),
                         {"MsiGetPropertyW": 1, "SetupOpenInfFileW": 1, "SetupInstallServicesFromInfSectionW": 1,
                          "OpenSCManagerW": 1})

    def test_every_function_above_the_floor_needs_its_reason(self):
        product = {"OpenSCManagerW": 40, "SetupOpenInfFileW": 100, "MsiProcessMessage": 500}
        floor = {"OpenSCManagerW": 0, "SetupOpenInfFileW": 20, "MsiProcessMessage": 500, "LoadLibraryW": 20}
        per_package, unexplained, ratio, total_p, total_f = bench_calls.figure_rows(
            product, floor, explained={"SetupOpenInfFileW": "the INF reader"}, packages=20)
        self.assertEqual(per_package["OpenSCManagerW"], (2.0, 0.0))
        self.assertEqual(per_package["LoadLibraryW"], (0.0, 1.0))
        self.assertEqual(unexplained, ["OpenSCManagerW"])
        self.assertEqual((total_p, total_f), (32.0, 27.0))
        self.assertAlmostEqual(ratio, 32 / 27)
        lines = bench_calls.notes(per_package, explained={"SetupOpenInfFileW": "the INF reader"})
        self.assertIn("(NOT EXPLAINED)", next(x for x in lines if x.endswith("OpenSCManagerW  (NOT EXPLAINED)")))
        self.assertTrue(any("SetupOpenInfFileW  (the INF reader)" in x for x in lines))

    def test_every_explained_function_is_traced(self):
        self.assertEqual([fn for fn in bench_calls.EXPLAINED if fn not in profile_calls.FUNCTIONS], [])


class FailedRounds(unittest.TestCase):
    def setUp(self):
        self.tmp = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.tmp, True)

    def test_a_failed_run_keeps_its_prefix_log_and_wines_output(self):
        prefix = types.SimpleNamespace(dir=os.path.join(self.tmp, "bench-scheduling-x"), runs=3, keep=False)
        bench = object.__new__(bench_scheduling.Bench)
        bench.wine = prefix
        with mock.patch.object(bench_scheduling, "LOGS", self.tmp):
            e = bench.failed("msiexec /i of ddbench-dd-500.msi returned 1", "/p/msiexec-3.log", "the log", "wine said")
        self.assertTrue(prefix.keep)
        stem = os.path.join(self.tmp, "scheduling-failed-bench-scheduling-x-3")
        with open(stem + ".log") as f:
            self.assertEqual(f.read(), "the log")
        with open(stem + ".wine.txt") as f:
            self.assertEqual(f.read(), "wine said")
        for part in ("returned 1", stem + ".log", stem + ".wine.txt", "/p/msiexec-3.log", prefix.dir):
            self.assertIn(part, str(e))

    def test_a_failed_round_is_reported_and_the_others_make_the_figures(self):
        def times(scale):
            return {k: scale * (1 + i) for i, k in enumerate(bench_scheduling.KEYS)}

        good = {("dd", 50): times(1), ("dd", 500): times(9), ("floor", 50): times(1), ("floor", 500): times(8)}
        answers = iter([bench_scheduling.RunFailed("msiexec /i of ddbench-dd-500.msi returned 1; log L"), good])

        def round_(self):
            answer = next(answers)
            if isinstance(answer, Exception):
                raise answer
            return answer

        with mock.patch.object(bench_scheduling, "product", lambda work, rows, floor: f"{rows}-{floor}.msi"), \
                mock.patch.object(bench_scheduling.Bench, "round", round_), \
                mock.patch.object(bench_scheduling.ddpkg, "BUILD_DIR", self.tmp), \
                mock.patch("sys.stderr", io.StringIO()):
            rows = bench_scheduling.run(2)
        first = rows[0]
        self.assertEqual(first["rounds"], [9.0])
        self.assertIn("1 of 2 rounds (1 failed", first["detail"])
        self.assertEqual(first["notes"], ["scheduling: failed round 1: msiexec /i of ddbench-dd-500.msi returned 1; log L"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
