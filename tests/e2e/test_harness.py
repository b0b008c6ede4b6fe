"""The harness itself: a Wine run or an msiexec run that outlives its time
limit fails with what was still running (and the verbose log's tail for
msiexec), and leaves no process of its prefix behind."""

import os
import re
import subprocess
import time

import ddpkg
from ddpkg import CA_IMMEDIATE

CHILD = os.path.join(ddpkg.BUILD_DIR, "dd_test_child.exe")
# The EXE custom action whose path is a property's value.
CA_EXE_FROM_PROPERTY = 50


def hanging_package():
    """A package whose immediate custom action runs a child that sleeps for ten minutes."""
    p = ddpkg.Package("hang")
    p.properties["HANGCHILD"] = ddpkg.unix_to_windows(CHILD)
    p.custom_action("SleepForever", CA_EXE_FROM_PROPERTY, "sleep 600000", source="HANGCHILD", sequence=1450)
    return p


class TimeLimits(ddpkg.PackageTestCase):
    def assertPrefixEmpty(self, prefix):
        self.assertEqual([], ddpkg.prefix_processes(prefix), f"processes left in {prefix}")

    def test_wine_run_stops_a_program_that_outlives_its_limit(self):
        env = dict(os.environ, DD_WINE_TIMEOUT="5")
        env.pop("DD_WINE_PREFIX", None)
        started = time.monotonic()
        result = subprocess.run([ddpkg.WINE_RUN, CHILD, "sleep", "600000"], env=env, capture_output=True, text=True,
                                timeout=120, errors="replace")
        elapsed = time.monotonic() - started
        self.assertEqual(ddpkg.WINE_RUN_TIME_LIMIT, result.returncode, result.stdout)
        self.assertIn("wine-run: TIME LIMIT of 5 s reached running: " + CHILD, result.stdout)
        self.assertIn(f"wine-run: FAILED: {CHILD} did not finish within 5 s", result.stdout)
        m = re.search(r"Wine processes still running in (\S+):\n((?:  .*\n)+)", result.stdout)
        self.assertTrue(m, result.stdout)
        self.assertRegex(m.group(2), r"(?i)dd_test_child\.exe")
        self.assertPrefixEmpty(m.group(1))
        self.assertLess(elapsed, 60, result.stdout)
        print(result.stdout)

    def test_a_hanging_msiexec_fails_with_the_log_tail_and_is_ended(self):
        msi = hanging_package().build(self.package_path())
        started = time.monotonic()
        with self.assertRaises(ddpkg.HangError) as caught:
            self.wine.install(msi, timeout=30)
        elapsed = time.monotonic() - started
        report = str(caught.exception)
        self.assertIn("did not finish within 30 s", report)
        self.assertIn("wine-run: TIME LIMIT of 30 s reached running: msiexec", report)
        self.assertRegex(report, r"(?i)msiexec\.exe")
        self.assertRegex(report, r"(?i)dd_test_child\.exe")
        self.assertIn("last lines of the verbose log", report)
        self.assertRegex(report, r"Action start [0-9:]+: SleepForever\.")
        self.assertPrefixEmpty(self.wine.prefix)
        self.assertLess(elapsed, 120, report)
        print(report)

        # The prefix still works afterwards: nothing of the hung run holds it.
        code, out = self.wine.run(CHILD, "out", "6F6B0D0A", timeout=60)
        self.assertEqual(0, code, out)
        self.assertIn("ok", out)


if __name__ == "__main__":
    ddpkg.main()
