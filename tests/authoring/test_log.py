"""driverdeploy log on logs that real msiexec runs under Wine wrote (tests/fixtures/log, cut with cut.py there),
read as Wine writes them and converted to the form Windows writes (UTF-16LE with a byte order mark, CR LF); on a
device installation log written from its documented format; on damaged input; and its HTML page in a real
browser (headless Chromium)."""

import json
import os
import re
import shutil
import subprocess
import sys
import tempfile
import unittest

SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "authoring"))

from driverdeploy import codes  # noqa: E402

FIXTURES = os.path.join(SOURCE_DIR, "tests", "fixtures", "log")
KIT = os.path.join(SOURCE_DIR, "authoring", "bin", "driverdeploy")
BROWSER_TIMEOUT = 180


def fixture(name):
    with open(os.path.join(FIXTURES, name), "rb") as f:
        return f.read()


def windows_form(raw):
    """The log as Windows writes it: UTF-16LE with its byte order mark, CR LF."""
    text = raw.decode("cp1252").replace("\r\n", "\n").replace("\n", "\r\n")
    return b"\xff\xfe" + text.encode("utf-16-le")


class LogCase(unittest.TestCase):
    def setUp(self):
        self.dir = tempfile.mkdtemp(prefix="dd-log-")

    def tearDown(self):
        shutil.rmtree(self.dir, ignore_errors=True)

    def write(self, name, raw):
        path = os.path.join(self.dir, name)
        with open(path, "wb") as f:
            f.write(raw)
        return path

    def kit(self, *args):
        r = subprocess.run([sys.executable, KIT, "log", *args], capture_output=True, text=True, timeout=120)
        self.assertNotIn("Traceback", r.stderr)
        return r

    def facts(self, raw, name="run.log", *extra):
        r = self.kit(self.write(name, raw), "--json", *extra)
        return r.returncode, json.loads(r.stdout) if r.stdout else None, r.stderr

    def both_forms(self, name):
        raw = fixture(name)
        return (("wine", raw), ("windows", windows_form(raw)))


class RealRuns(LogCase):
    def test_a_failing_package_is_named_with_its_step_its_code_and_the_rollback_of_the_others(self):
        for form, raw in self.both_forms("failure-rollback.log"):
            with self.subTest(form=form):
                path = self.write(f"{form}.log", raw)
                r = self.kit(path)
                self.assertEqual(1, r.returncode, r.stderr)
                head = r.stdout.splitlines()[:8]
                self.assertEqual("run 1: install of lifecycle 1.0.0: FAILURE", head[2])
                self.assertEqual("  cause: driver package 'brk' failed at step \"Failed to commit file queue.\"; "
                                 "code 0x80070002 = HRESULT of ERROR_FILE_NOT_FOUND: The system cannot find the file "
                                 "specified. [line 294, 2026-12-11 13:48:50.703]", head[3])
                self.assertIn("  failed: brk", head)
                self.assertIn("  rolled back: filt (restored), brk (restored), net (restored), third (restored), "
                              "prodcat (restored)", head)
                self.assertIn("  installer error 27300: Failed to install drivers. brk Error -2147024894.", head)
                code, data, _ = self.facts(raw, f"{form}.log")
                (run,) = data["runs"]
                items = {i["id"]: i for i in run["items"]}
                self.assertEqual(("installed", "restored"), (items["filt"]["outcome"], items["filt"]["rollback"]))
                # The later sequenced package never ran; the rollback still removed what its early step put down.
                self.assertEqual(("not run", "restored"), (items["third"]["outcome"], items["third"]["rollback"]))
                self.assertEqual("Need to early install 'brk' driver. Component to do 1.", items["brk"]["decision"])
                self.assertEqual([{"action": "InstallDriversDeferred", "kind": "deferred"},
                                  {"action": "InstallDriversRollback", "kind": "rollback"}], items["brk"]["operations"])
                # The last step the failing thread took before the failure.
                self.assertEqual("The queue has finished committing.", run["cause"]["step_before"]["text"])
                self.assertEqual("failure", [a for a in run["actions"]
                                             if a["name"] == "InstallDriversDeferred"][0]["result_name"])

    def test_outcomes_of_each_real_run(self):
        # (fixture, exit code, result, {item: (outcome, rollback)}, cause code name, installer error numbers)
        cases = [
            ("parallel.log", 0, "success", {"ddpar1": ("installed", None), "ddpar2": ("installed", None),
                                            "ddpar3": ("installed", None), "prodcat": ("installed", None)},
             None, []),
            ("cancel.log", 1, "cancelled", {"filt": ("cancelled", None), "dev": ("not run", None),
                                            "net": ("not run", None)},
             "HRESULT of ERROR_INSTALL_USEREXIT", [27300]),
            ("network-limit.log", 1, "failure", {"net": ("failed", "restored")}, "NETCFG_E_MAX_FILTER_LIMIT",
             [27302]),
        ]
        for name, exit_code, result, outcomes, cause, errors in cases:
            for form, raw in self.both_forms(name):
                with self.subTest(log=name, form=form):
                    code, data, err = self.facts(raw, f"{form}.log")
                    self.assertEqual(exit_code, code, err)
                    (run,) = data["runs"]
                    self.assertEqual(result, run["result"])
                    got = {i["id"]: (i["outcome"], i["rollback"]) for i in run["items"]}
                    self.assertEqual(outcomes, {k: got[k] for k in outcomes})
                    self.assertEqual(cause, run["cause"] and run["cause"]["code"]["name"])
                    self.assertEqual(errors, [e["number"] for e in run["installer_errors"]])
                    self.assertEqual("utf-16-le" if form == "windows" else "cp1252", data["log"]["encoding"])
                    self.assertEqual("CR LF" if form == "windows" else "LF", data["log"]["line_ends"])

    def test_several_runs_in_one_log_and_the_exit_code_of_the_last(self):
        lifecycle, failure = fixture("lifecycle.log"), fixture("failure-rollback.log")
        for form, raw in self.both_forms("lifecycle.log"):
            with self.subTest(form=form):
                code, data, _ = self.facts(raw, f"{form}.log")
                self.assertEqual(0, code)
                self.assertEqual([("install", "1.0.0", "success"), ("repair", "1.0.0", "success"),
                                  ("upgrade", "2.0.0", "success"), ("uninstall", "2.0.0", "success")],
                                 [(r["operation"], r["version"], r["result"]) for r in data["runs"]])
                last = {i["id"]: i["outcome"] for i in data["runs"][-1]["items"]}
                self.assertEqual({"filt": "uninstalled", "dev": "uninstalled", "net": "uninstalled",
                                  "prodcat": "removed"}, last)
        # Appended runs: the exit code follows the last one.
        for raw, expected in ((lifecycle + failure, 1), (failure + lifecycle, 0)):
            code, data, _ = self.facts(raw)
            self.assertEqual(expected, code)
            self.assertEqual(5, len(data["runs"]))

    def test_an_upgrade_shows_the_removal_of_the_earlier_product_as_its_own_run(self):
        # Wine writes nothing of that removal into the upgrade's log: the nested INSTALL is written here in the
        # form Windows uses.
        msi = "MSI (s) (A8:2C) [13:30:16:200]: "
        text = "\n".join([
            "=== Verbose logging started: 12/11/2026  13:30:14  Build type: SHIP UNICODE 5.00.10011.00 ===",
            "Action start 13:30:14: INSTALL.",
            "MSI (s) (A8:2C) [13:30:14:050]: FindRelatedProducts: Found application: {D06247B1-8323-41F4-B5ED-C615AC369D0C}",
            "Action start 13:30:14: RemoveExistingProducts.",
            "Action start 13:30:15: INSTALL.",
            "UninstallDrivers (1a0:01b4) [13:30:15:100]: The package row 'filt' was successfully read.",
            "UninstallDrivers (1a0:01b4) [13:30:15:101]: Need to uninstall 'filt' driver. Component to do 2.",
            "UninstallDrivers (1a0:01b4) [13:30:15:102]: UninstallDrivers: finished. Return value 0.",
            "UninstallDriversDeferred (1a0:0c10) [13:30:16:000]:  - Uninstalling filter driver 'filt' from inf file "
            "'C:\\P1\\ddfilt.inf'.",
            "UninstallDriversDeferred (1a0:0c10) [13:30:16:100]: The filter driver 'filt' was successfully uninstalled.",
            "UninstallDriversDeferred (1a0:0b00) [13:30:16:110]: UninstallDriversDeferred: finished. Return value 0.",
            msi + "Windows Installer removed the product. Product Name: DDTest. Product Version: 1.0.0. Product "
            "Language: 1033. Manufacturer: X. Installation success or error status: 0.",
            "Action ended 13:30:16: INSTALL. Return value 1.",
            "Action ended 13:30:16: RemoveExistingProducts. Return value 1.",
            "InstallDriversDeferred (1a0:0c20) [13:30:17:000]:  - Installing filter driver 'filt' from "
            "'C:\\P2\\ddfilt.inf'.",
            "InstallDriversDeferred (1a0:0c20) [13:30:17:500]: The filter driver 'filt' was successfully installed.",
            "InstallDriversDeferred (1a0:0b00) [13:30:17:510]: InstallDriversDeferred: finished. Return value 0.",
            "Action ended 13:30:18: INSTALL. Return value 3.",
            msi + "Windows Installer installed the product. Product Name: DDTest. Product Version: 2.0.0. Product "
            "Language: 1033. Manufacturer: X. Installation success or error status: 1603.",
            "=== Verbose logging stopped: 12/11/2026  13:30:18 ===", ""])
        code, data, _ = self.facts(text.encode("cp1252"))
        self.assertEqual(1, code)
        self.assertEqual([(1, None, "upgrade", "2.0.0", "failure", 1603),
                          (2, 1, "removal of the earlier product (upgrade)", "1.0.0", "success", 0)],
                         [(r["index"], r["parent"], r["operation"], r["version"], r["result"], r["status"])
                          for r in data["runs"]])
        self.assertEqual([("filt", "installed")], [(i["id"], i["outcome"]) for i in data["runs"][0]["items"]])
        self.assertEqual([("filt", "uninstalled")], [(i["id"], i["outcome"]) for i in data["runs"][1]["items"]])

    def test_a_protected_service_gets_its_steps_from_the_action_thread(self):
        # Wine has no service launch protection: the lines are the library's texts for a service it protects.
        text = "\n".join([
            "ProtectServices (1a0:01b4) [13:30:15:100]: The service protection configuration row 'prot' was "
            "successfully read.",
            "ProtectServices (1a0:01b4) [13:30:15:101]: Need to protect service 'prot'. Component to do 1.",
            "ProtectServices (1a0:01b4) [13:30:15:102]: ProtectServices: finished. Return value 0.",
            "ProtectServicesDeferred (1a0:0c10) [13:30:16:000]: Protecting service 'prot'...",
            "ProtectServicesDeferred (1a0:0c10) [13:30:16:010]: Mark service 'ddsvc' as protected.",
            "ProtectServicesDeferred (1a0:0c10) [13:30:16:020]: The service 'ddsvc' marked as protected.",
            "ProtectServicesDeferred (1a0:0c10) [13:30:16:030]: The service 'prot' was successfully configured.",
            "ProtectServicesDeferred (1a0:0c10) [13:30:16:040]: ProtectServicesDeferred: finished. Return value 0.",
            "Action ended 1:30:16: INSTALL. Return value 1.", ""])
        code, data, _ = self.facts(text.encode("cp1252"))
        self.assertEqual(0, code)
        (item,) = data["runs"][0]["items"]
        self.assertEqual(("ServiceConfigProtection", "prot", "protected"), (item["kind"], item["id"], item["outcome"]))
        self.assertEqual(4, len([s for s in item["steps"] if s["action"] == "ProtectServicesDeferred"]))

    def test_the_network_failure_shows_the_error_table_text(self):
        code, data, _ = self.facts(fixture("network-limit.log"))
        (run,) = data["runs"]
        self.assertEqual([("The number of network filters reached its limit. net Error -2147180503.",
                           "A network driver could not be installed: the number of network filters reached its "
                           "limit (NETCFG_E_MAX_FILTER_LIMIT).")],
                         [(e["text"], e["meaning"]) for e in run["installer_errors"]])
        self.assertEqual("Failed install network components.", run["cause"]["step"])

    def test_parallel_packages_overlap_on_threads_of_their_own(self):
        code, data, _ = self.facts(fixture("parallel.log"))
        (run,) = data["runs"]
        spans = {i["id"]: i["threads"] for i in run["items"] if i["kind"] == "DriverPackage"}
        self.assertEqual({"ddpar1", "ddpar2", "ddpar3"}, set(spans))
        threads = [t for ts in spans.values() for t in ts]
        self.assertEqual(3, len(threads), threads)
        self.assertEqual(3, len({t["thread"] for t in threads}))
        # Every package began before any ended.
        self.assertLess(max(t["start_ms"] for t in threads), min(t["end_ms"] for t in threads))

    def test_glued_lines_and_unknown_lines_keep_their_package(self):
        raw = fixture("parallel.log").decode("cp1252")
        lines = raw.split("\n")
        deferred = [i for i, line in enumerate(lines) if line.startswith("InstallDriversDeferred (")]
        # Two lines of different threads glued onto one, as Wine's msiexec writes them now and then.
        first = next(i for i in deferred if "'ddpar2'" in lines[i])
        lines[first - 1] = lines[first - 1] + lines[first]
        del lines[first]
        # A line no table knows yet, on the thread of ddpar3, and one on the action's own thread.
        at = next(i for i, line in enumerate(lines) if "Installing filter driver 'ddpar3'" in line)
        head = re.match(r"^(InstallDriversDeferred \([0-9a-f]+:[0-9a-f]+\) \[[0-9:]+\]: )", lines[at]).group(1)
        lines.insert(at + 1, head + "A step that a later version writes.")
        entry = next(line for line in lines if "InstallDriversDeferred: finished." in line)
        lines.insert(at + 2, entry.split("]: ")[0] + "]: An action line of a later version.")
        code, glued, _ = self.facts("\n".join(lines).encode("cp1252"))
        code, plain, _ = self.facts(fixture("parallel.log"))
        texts = lambda data: {i["id"]: [s["text"] for s in i["steps"] if s["action"] == "InstallDriversDeferred"]
                              for i in data["runs"][0]["items"]}
        got, want = texts(glued), texts(plain)
        self.assertEqual(want["ddpar2"], got["ddpar2"])
        self.assertEqual(want["ddpar3"][:1] + ["A step that a later version writes."] + want["ddpar3"][1:],
                         got["ddpar3"])
        self.assertIn("An action line of a later version.", [s["text"] for s in glued["runs"][0]["other_lines"]])


class LibraryLines(unittest.TestCase):
    def test_lines_of_the_uninstall_steps_early_files_and_recovery_image_name_their_item(self):
        from driverdeploy import logmodel
        cases = (
            ("Uninstall step 'remove the catalog' of driver package 'filt' failed. Failed to remove catalog. "
             "Error 0x80070005. The next steps go on.", "failure", "filt", 0x80070005),
            ("Skip uninstall step 'remove the published INF files' of driver package 'dev'. "
             "It needs the failed step 'remove the device'.", "step", "dev", None),
            ("The driver package 'net' was not removed completely. Error 0x80070424.", "failure", "net", 0x80070424),
            ("The driver package 'net' was not restored completely. Error 0x80070424.", "failure", "net", 0x80070424),
            ("Early driver package 'dev' is not installed: The early file was changed after it was extracted: "
             "C:\\t\\dev.inf", "failure", "dev", None),
            ("Early driver package 'dev': 3 file(s) verified in 'C:\\t\\x'.", "step", "dev", None),
            ("The attribute EarlyConfigured (0x10) of driver package 'dev' is set by the library only: "
             "the authored bit is ignored.", "warning", "dev", None),
            ("Found 'oem3.inf' in Windows Recovery Environment for driver 'winre'.", "step", "winre", None),
            ("Driver 'winre' is not in Windows Recovery Environment. Nothing to remove.", "step", "winre", None),
            ("Warning: The service 'ddfilt' did not stop within 30000 ms. Its files are replaced at the next restart.",
             "warning", None, None),
        )
        for text, role, id_, code in cases:
            with self.subTest(text=text):
                rule, m = logmodel.classify(text)
                self.assertIsNotNone(rule)
                self.assertEqual(role, rule.role)
                self.assertEqual(id_, m.groupdict().get("id"))
                got = m.groupdict().get("code")
                self.assertEqual(code, int(got, 16) if got else None)
        # The catalog line names its file, as the other catalog lines do.
        rule, m = logmodel.classify("The catalog file 'ddcat.cat' is registered already. Its rollback keeps it.")
        self.assertEqual(("step", "ddcat.cat"), (rule.role, m.group("file")))


class DeviceInstallationLog(LogCase):
    def test_sections_within_the_run_that_name_a_package_go_under_it(self):
        setupapi = os.path.join(FIXTURES, "setupapi.dev.log")
        code, data, _ = self.facts(fixture("failure-rollback.log"), "run.log", "--setupapi", setupapi)
        items = {i["id"]: i for i in data["runs"][0]["items"]}
        # The earlier day's import of ddfilt.inf and the other driver's section are not part of this run.
        self.assertEqual([("Setup Import Driver Package - C:\\users\\root\\Temp\\drv9304.tmp\\ddfilt.inf",
                           "2026-12-11 13:48:49.701", "SUCCESS", None, [])],
                         [(s["title"], s["start"], s["status"], s["code"], s["errors"])
                          for s in items["filt"]["setupapi"]])
        brk = [(s["title"].split(" - ")[0], s["status"], s["code"] and s["code"]["name"], len(s["errors"]))
               for s in items["brk"]["setupapi"]]
        self.assertEqual([("Setup Import Driver Package", "FAILURE", "ERROR_FILE_NOT_FOUND", 3),
                          ("Device Install (DiInstallDriver)", "FAILURE", "ERROR_NO_ASSOCIATED_SERVICE", 1)], brk)
        text = self.kit(self.write("r.log", fixture("failure-rollback.log")), "--setupapi", setupapi).stdout
        self.assertIn("       !!! flq: Error 2: The system cannot find the file specified.", text.splitlines())


class DamagedInput(LogCase):
    def test_unreadable_logs_give_a_message_and_2(self):
        failure = fixture("failure-rollback.log")
        cut = failure[:failure.index(b"InstallDriversDeferred: finished.")]
        no_library = b"\n".join(line for line in failure.split(b"\n") if b") [" not in line)
        cases = [
            ("truncated", cut, "the log ends before run 1 finished"),
            ("truncated, Windows form", windows_form(cut)[:-1], "the log ends before run 1 finished"),
            ("binary", bytes(range(256)) * 64, "the file is not text"),
            ("empty", b"", "the file is empty"),
            ("no library lines", no_library, "the log holds none of driverdeploy's lines"),
        ]
        for name, raw, message in cases:
            with self.subTest(name):
                r = self.kit(self.write("damaged.log", raw))
                self.assertEqual(2, r.returncode, r.stdout[-2000:])
                self.assertIn(message, r.stderr)
                self.assertTrue(r.stderr.startswith("driverdeploy log: "), r.stderr)
        r = self.kit(os.path.join(self.dir, "missing.log"))
        self.assertEqual(2, r.returncode)
        self.assertIn("cannot read", r.stderr)


class Codes(unittest.TestCase):
    def test_each_family_is_explained(self):
        cases = [
            (0x80070005, "HRESULT of ERROR_ACCESS_DENIED", "Access is denied."),
            (1603, "ERROR_INSTALL_FAILURE", "Fatal error during installation."),
            (0xE0000219, "ERROR_NO_ASSOCIATED_SERVICE", None),
            (0x800F0219, "HRESULT of ERROR_NO_ASSOCIATED_SERVICE", None),
            (0x800F022F, "HRESULT of ERROR_NO_CATALOG_FOR_OEM_INF", None),
            (0x8004A029, "NETCFG_E_MAX_FILTER_LIMIT", None),
            (0x0004A020, "NETCFG_S_REBOOT", None),
            (0x6AA7, "driverdeploy error 27303: recovery image failed", None),
            (27300, "driverdeploy error 27300: driver installation failed", None),
            (-2147180503, "NETCFG_E_MAX_FILTER_LIMIT", None),
        ]
        for code, name, meaning in cases:
            with self.subTest(code=code):
                got = codes.explain(code)
                self.assertEqual(name, got[0])
                if meaning:
                    self.assertEqual(meaning, got[1])
        for number in (27300, 27301, 27302, 27303, 27310, 27311, 27320, 27321):
            self.assertIsNotNone(codes.error_number(number), number)
        self.assertIsNone(codes.explain(0x800F7777))
        self.assertIsNone(codes.explain(0x12345678))


def chromium():
    return shutil.which("chromium") or shutil.which("chromium-browser")


class HtmlPage(LogCase):
    def page(self, name):
        path = self.write(name, fixture(name))
        html = os.path.join(self.dir, name + ".html")
        r = self.kit(path, "--html", html)
        self.assertIn(r.returncode, (0, 1), r.stderr)
        with open(html, encoding="utf-8") as f:
            return html, f.read()

    def test_the_page_is_self_contained(self):
        _, text = self.page("failure-rollback.log")
        self.assertNotRegex(text, r"(?i)(?:src|href)\s*=\s*[\"']?(?:https?:|//|file:)")
        self.assertNotRegex(text, r"(?i)@import|url\(")
        self.assertIn("default-src 'none'", text)

    @unittest.skipUnless(chromium(), "needs Debian's chromium (scripts/install-deps.sh installs it)")
    def test_chromium_loads_the_page_and_draws_one_row_per_package_thread(self):
        html, text = self.page("parallel.log")
        data = json.loads(re.search(r'<script type="application/json" id="facts">(.*?)</script>', text, re.S).group(1))
        expected = [(i["id"], t["thread"]) for i in data["runs"][0]["items"] for t in i["threads"]]
        # As root Chromium needs its no-sandbox switch.
        command = [chromium(), "--headless", "--no-sandbox", "--disable-gpu", "--enable-logging=stderr", "--v=0",
                   f"--user-data-dir={os.path.join(self.dir, 'profile')}", "--virtual-time-budget=5000",
                   "--dump-dom", "file://" + html]
        try:
            r = subprocess.run(command, capture_output=True, text=True, timeout=BROWSER_TIMEOUT)
        except subprocess.TimeoutExpired:
            self.fail(f"chromium did not render the page within {BROWSER_TIMEOUT} s: {' '.join(command)}")
        self.assertEqual(0, r.returncode, r.stderr[-3000:])
        console = [line for line in r.stderr.splitlines() if ":CONSOLE" in line]
        self.assertFalse([line for line in console if "Uncaught" in line or "Error" in line], console)
        self.assertIn('data-ready="yes"', r.stdout)
        rows = re.findall(r'<div class="row" data-item="([^"]*)" data-thread="([^"]*)">', r.stdout)
        self.assertEqual(sorted(expected), sorted(rows))
        # The three packages' threads and the catalog action's.
        self.assertEqual(["ddpar1", "ddpar2", "ddpar3", "prodcat"], sorted(item for item, _ in rows))
        # The page's script drew the time axis of the timeline.
        self.assertIn("+0.00 s", r.stdout)


if __name__ == "__main__":
    unittest.main(verbosity=2)
