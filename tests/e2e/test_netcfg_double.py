"""The network configuration double under a real msiexec: once registered in
the prefix, the custom-action processes get it for CLSID_CNetCfg and share its
state with the test; without it they get Wine's own object, which cannot find
components."""

import os
import re

import ddpkg
from ddpkg import CA_DEFERRED, CA_IMMEDIATE

PROBE = os.environ.get("DD_NETCFG_PROBE", os.path.join(ddpkg.BUILD_DIR, "dd_netcfg_probe.dll"))
PROBE_LINE = re.compile(r"NetCfgProbe: pid (?P<pid>\d+) created (?P<created>0x[0-9A-F]{8}) server (?P<server>.*) "
                        r"FindComponent (?P<found>0x[0-9A-F]{8}) command (?P<command>.*)$")


def probe_package(work):
    p = ddpkg.Package("netcfgprobe")
    payload = os.path.join(work, "payload.txt")
    with open(payload, "w") as f:
        f.write("payload\n")
    p.component("Payload", key_path="payload.txt")
    p.file("payload.txt", "Payload", "payload.txt", payload, 1)
    p.cabinet("payload.cab", {"payload.txt": payload}, work)
    p.binary("NetCfgProbe", PROBE)
    p.custom_action("ProbeImmediate", CA_IMMEDIATE, "ProbeNetCfg", source="NetCfgProbe", sequence=1510,
                    condition="NOT REMOVE")
    p.custom_action("ProbeDeferred", CA_DEFERRED, "ProbeNetCfg", source="NetCfgProbe", sequence=1520,
                    condition="NOT REMOVE")
    return p


def probe_results(log):
    return [m.groupdict() for m in (PROBE_LINE.search(line) for line in log.splitlines()) if m]


class NetCfgDoubleUnderMsiexec(ddpkg.PackageTestCase):
    def test_registered_double_serves_the_custom_action_processes(self):
        code, out = ddpkg.register_netcfg_double(self.wine)
        self.assertEqual(0, code, out)
        ddpkg.set_netcfg_double_components(self.wine, ["dd_probe"])
        msi = probe_package(self.work).build(self.package_path())

        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        results = probe_results(log)
        self.assertEqual(2, len(results), log[-3000:])
        for r in results:
            # Wine runs DLL custom actions in a process of their own.
            self.assertIn("msiexec.exe -Embedding", r["command"])
            self.assertEqual("0x00000000", r["created"])
            self.assertTrue(r["server"].lower().endswith("\\dd_netcfg_double.dll"), r["server"])
            # Found: the component the test wrote into the prefix's state.
            self.assertEqual("0x00000000", r["found"])
        calls = ddpkg.netcfg_double_calls(self.wine)
        finds = [c for c in calls if c["name"] == "FindComponent"]
        self.assertEqual(sorted(int(r["pid"]) for r in results), sorted(c["pid"] for c in finds))
        self.assertEqual([['"dd_probe"']] * 2, [c["args"] for c in finds])

    def test_without_the_double_wines_own_object_answers(self):
        msi = probe_package(self.work).build(self.package_path())
        code, log = self.wine.install(msi)
        self.assertEqual(ddpkg.EXIT_SUCCESS, code, log[-3000:])
        results = probe_results(log)
        self.assertEqual(2, len(results), log[-3000:])
        for r in results:
            self.assertEqual("0x00000000", r["created"])
            self.assertNotIn("dd_netcfg_double", r["server"].lower())
            self.assertEqual("0x80004001", r["found"])  # E_NOTIMPL
        self.assertEqual([], ddpkg.netcfg_double_calls(self.wine))


if __name__ == "__main__":
    ddpkg.main()
