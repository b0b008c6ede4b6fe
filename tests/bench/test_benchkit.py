"""The benchmarks' reading of the installer log: action windows, package timelines and their overlap."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

import benchkit as bk  # noqa: E402

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
