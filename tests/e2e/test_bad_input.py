"""Bad input at every stage of a driver installation, under real msiexec
runs: broken script data, INF files that are missing, empty or broken when
the deferred action reads them, a driver file missing from the package, a
catalog path naming a folder, bad registry rows, an INF adding a service
without a name, an unknown package type and an overlong hardware id. Each
case names the line that reports the fault, the exit code of the
installation and what the prefix holds afterwards: as before, because the
fault stopped the scheduling action before the script ran, or because the
rollback removed what the good filter driver installed ahead of the fault
(and what the faulty package left halfway).

Both packages install early, from the package's cabinet extracted into the
action's own temporary folder, so their rollback finds their INFs: Wine's
rollback removes the installed files before any custom rollback action runs
(measured)."""

import os
import re
import shutil
import time

import ddpkg
from ddpkg import CA_DEFERRED
from lifecycle import INSTALL_EARLY, State, driver_sources, prepare_prefix, product

# Property-setting custom action: Source names the property, Target is its formatted value.
CA_SET_PROPERTY = 51
INSTALL_DIR = "C:\\Program Files\\DDTest\\"
SERVICES = ("ddfilt", "ddbad", "dddev")
# No case may take long: a failure must come quickly, never after a prompt or a wait.
QUICK_SECONDS = 120


def bad_driver(work, edit=None, name="ddbad"):
    """Sources of the second driver, its INF text passed through edit: the filter fixture renamed (with a registry
    key of its own), or for "dddev" the device fixture."""
    src = driver_sources(work, 1, {} if name == "dddev" else {"ddfilt": name})
    with open(os.path.join(src, name + ".inf"), encoding="ascii") as f:
        text = f.read().replace("SOFTWARE\\DDTest\\Filter", "SOFTWARE\\DDTest\\" + name)
    if edit:
        text = edit(text)
    out = os.path.join(work, "bad-" + name)
    shutil.rmtree(out, ignore_errors=True)
    shutil.copytree(src, out)
    with open(os.path.join(out, name + ".inf"), "w", encoding="latin-1", newline="\r\n") as f:
        f.write(text)
    return out


def row(p, id_):
    return next(r for r in p.rows("DriverPackage") if r[0] == id_)


def good_and_bad(work, edit=None, type_=1, stem="ddbad"):
    """The product: the good filter 'filt' (sequence 10), then 'bad' (sequence 20), both early."""
    drivers = {"filt": dict(stem="ddfilt", type=1, sequence=10, attributes=INSTALL_EARLY),
               "bad": dict(stem=stem, type=type_, sequence=20, attributes=INSTALL_EARLY,
                           source=bad_driver(work, edit, stem))}
    p, _ = product(work, drivers=drivers)
    return p


def script_data(text):
    """The good filter alone, and a deferred action bound to InstallDriversDeferred after the driver actions,
    handed `text` as its data."""
    def make(work):
        p, _ = product(work, drivers={"filt": dict(stem="ddfilt", type=1, sequence=10, attributes=INSTALL_EARLY)})
        p.custom_action("SetBadData", CA_SET_PROPERTY, text, source="BadData", sequence=4140)
        p.custom_action("BadData", CA_DEFERRED, "InstallDriversDeferred", sequence=4150)
        return p
    return make


def inf_path(path):
    def make(work):
        p = good_and_bad(work)
        row(p, "bad")[2] = path
        return p
    return make


def inf_text(text):
    return lambda work: good_and_bad(work, edit=lambda _: text)


def inf_edit(edit):
    return lambda work: good_and_bad(work, edit=edit)


def registry_row(root, value, name="Value"):
    def make(work):
        p = good_and_bad(work)
        ddpkg.driver_registry(p, "reg_bad", "bad", "Software\\DDTest\\Bad", name, value, root=root)
        return p
    return make


def catalog_path(path):
    def make(work):
        p = good_and_bad(work)
        p.rows("CryptCatalog").append(["badcat", "ddbadcat.cat", path, "Cat", ""])
        return p
    return make


def package_type(type_):
    return lambda work: good_and_bad(work, type_=type_)


def hardware_id(hdw):
    """The device driver with that hardware id in its row and in its INF's model."""
    def make(work):
        p = good_and_bad(work, edit=lambda t: t.replace("ROOT\\dddev", hdw), type_=3, stem="dddev")
        row(p, "bad")[5] = hdw
        return p
    return make


# The record of the bad package as the immediate action would schedule it (keys in order).
FULL_RECORD = "bad*act=1|atr=0|cat=|cmp=Bad|id=bad|inf=[INSTALLDIR]ddbad.inf|seq=20|type=1"
TRUNCATED_IN_PATH = FULL_RECORD[:FULL_RECORD.index("ddbad.inf") + 4]
# The longest id a device property holds is 199 characters (200 with its NUL).
LONGEST_HARDWARE_ID = "ROOT\\" + "x" * 194
TOO_LONG_HARDWARE_ID = LONGEST_HARDWARE_ID + "x"
# The early install's folder, in an expected line: the one the immediate action extracted to, or the
# protected copy the system-rights phase verified and installs from.
TMP = "{tmp}"
TMP_PATTERN = r"C:\\users\\[^\\]+\\Temp\\drv(?:[0-9a-f]+\.tmp|[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12})\\"
FAILED = ddpkg.EXIT_FAILURE
DEFERRED = "InstallDriversDeferred"
BAD_PACKAGE = "Failed to execute driver package 'bad'. "
NO_PACKAGE = "Failed to execute driver package ''. Failed to open inf file:  Error 0x80070005."

# name: (make the product, action whose lines are expected, expected lines in order (a line of another action as
# (action, line)), exit code, outcome)
# Outcomes: "rolled back": after the failed installation the prefix is as before (the good filter was installed
# and removed again); "unchanged": the installation failed before its script ran; "installed": the installation
# succeeded, and its uninstall leaves the prefix as before.
CASES = {
    "data_truncated_in_the_inf_path": (
        script_data(TRUNCATED_IN_PATH), DEFERRED,
        ["The type was not specified for driver 'bad'.",
         BAD_PACKAGE + f"Failed to open inf file: {INSTALL_DIR}ddba Error 0x80070002."], FAILED, "rolled back"),
    "data_truncated_before_the_id": (
        script_data("bad*act=1|atr=0|cat="), DEFERRED, [NO_PACKAGE], FAILED, "rolled back"),
    "data_garbage": (
        script_data("this is not*driver|data"), DEFERRED, [NO_PACKAGE], FAILED, "rolled back"),
    "inf_missing": (
        inf_path("[INSTALLDIR]ddgone.inf"), DEFERRED,
        # The system-rights phase installs only files the immediate action extracted and hashed.
        [f"Early driver package 'bad' is not installed: The INF is not among the extracted files: {TMP}ddgone.inf"],
        FAILED, "rolled back"),
    "inf_empty": (
        inf_text(""), DEFERRED,
        [BAD_PACKAGE + f"Failed to open inf file: {TMP}ddbad.inf Error 0x800703ee."], FAILED, "rolled back"),
    "inf_broken": (
        inf_text("[Version\r\nSignature=\"$WINDOWS NT$\r\n[[[\r\n\x01\x02\xff=\r\n"), DEFERRED,
        [BAD_PACKAGE + f"Failed to open inf file: {TMP}ddbad.inf Error 0x800f0001."], FAILED, "rolled back"),
    "inf_source_file_missing": (
        inf_edit(lambda t: t.replace("ddbad.sys=1", "ddbad_missing.sys=1").replace("[ddbad.Files]\nddbad.sys",
                                                                                  "[ddbad.Files]\nddbad_missing.sys")),
        DEFERRED,
        [f"The source file '{TMP}ddbad_missing.sys' does not exist. The file queue is not committed.",
         BAD_PACKAGE + "Failed to commit file queue. Error 0x80070002."], FAILED, "rolled back"),
    "catalog_path_is_a_directory": (
        catalog_path("[INSTALLDIR]"), "InstallCryptCatalogDeferred",
        ["Failed to install 'badcat'. Failed to add a catalog file. Error 0x80070005."], FAILED, "rolled back"),
    "registry_root_invalid": (
        registry_row(9, "text"), "InstallDriversEarly",
        ["Incorrect registry root of driver registry: reg_bad Error 0x80004005."], FAILED, "unchanged"),
    "registry_value_unparsable": (
        registry_row(2, "#twelve"), "InstallDriversEarly",
        ["Incorrect value of driver registry: reg_bad Error 0x80070057."], FAILED, "unchanged"),
    "add_service_without_name": (
        inf_edit(lambda t: t.replace("AddService=ddbad,,", "AddService=,,")), DEFERRED,
        [BAD_PACKAGE + "Failed to install services from inf section: DefaultInstall.NTamd64.Services Error 0x8007007b.",
         ("InstallDriversRollback", "Skip disabling service 'ddbad'. The service is not installed.")], FAILED, "rolled back"),
    "package_type_unknown": (
        package_type(7), DEFERRED,
        ["The type was not specified for driver 'bad'.", " - Installing filter driver 'bad' from '{tmp}ddbad.inf'.",
         "The filter driver 'bad' was successfully installed."], ddpkg.EXIT_SUCCESS, "installed"),
    "hardware_id_too_long": (
        hardware_id(TOO_LONG_HARDWARE_ID), DEFERRED,
        [BAD_PACKAGE + "The hardware id is longer than a device property allows: " + TOO_LONG_HARDWARE_ID +
         " Error 0x80070057."], FAILED, "rolled back"),
    "hardware_id_at_the_limit": (
        hardware_id(LONGEST_HARDWARE_ID), DEFERRED,
        [f"The hardware '{LONGEST_HARDWARE_ID}' was successfully installed.",
         "The device driver 'bad' was successfully installed."], ddpkg.EXIT_SUCCESS, "installed"),
}


def line_pattern(line):
    return re.compile(re.escape(line).replace(re.escape(TMP), TMP_PATTERN) + "$")


class BadInput(ddpkg.PackageTestCase):
    def check(self, make, action, expected, code, outcome):
        code_, out = prepare_prefix(self.wine)
        self.assertEqual(0, code_, out)
        before = State(self.wine, SERVICES).comparable()
        msi = make(self.work).build(self.package_path())
        start = time.monotonic()
        got, log = self.wine.install(msi)
        took = time.monotonic() - start
        lines = ddpkg.library_lines(log)
        said = [t for a, t in lines if a == action]
        if os.environ.get("DD_BAD_INPUT_SHOW"):
            print("\n".join(f"{a}: {t}" for a, t in lines))
        self.assertEqual(code, got, "\n".join(said[-30:]))
        # The expected lines come in this order.
        at = 0
        for line in expected:
            which, line = line if isinstance(line, tuple) else (action, line)
            pattern = line_pattern(line)
            found = [i for i, (a, t) in enumerate(lines) if i >= at and a == which and pattern.match(t)]
            self.assertTrue(found, f"{line!r} not found in order in:\n" + "\n".join(t for a, t in lines if a == which))
            at = found[0] + 1
        self.assertLess(took, QUICK_SECONDS)
        ran = any(a == "InstallDriversDeferred" for a, _ in lines)
        self.assertEqual(outcome != "unchanged", ran, "whether the script ran")
        after = State(self.wine, SERVICES).comparable()
        if outcome == "installed":
            self.assertNotEqual(before, after)
            got, log = self.wine.uninstall(msi)
            self.assertEqual(ddpkg.EXIT_SUCCESS, got, log[-3000:])
            after = State(self.wine, SERVICES).comparable()
        self.assertEqual(before, after)


def make_case(case):
    return lambda self: self.check(*case)


for _name, _case in CASES.items():
    setattr(BadInput, "test_" + _name, make_case(_case))


if __name__ == "__main__":
    ddpkg.main()
