"""lint's INF reader: lines and fields as SetupAPI gives them, and the models section the library picks by the
Manufacturer decorations (the closest match among those that apply, build numbers included)."""

import os
import sys
import unittest

SOURCE_DIR = os.environ.get("DD_SOURCE_DIR", os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", ".."))
sys.path.insert(0, os.path.join(SOURCE_DIR, "authoring"))

from driverdeploy import inf  # noqa: E402

WIN10_1809 = (10, 0, 17763)


class DecorationTest(unittest.TestCase):
    # (decorations of the Manufacturer line, system, the decoration picked or None)
    CASES = [
        (["NTamd64"], WIN10_1809, "NTamd64"),
        (["ntAMD64"], WIN10_1809, "ntAMD64"),  # the platform in any case; the name as written
        (["NTx86", "NT"], WIN10_1809, None),
        (["NTamd64.10.0", "NTamd64"], (6, 3, 9600), "NTamd64"),
        # The closest match wins, not the first in line order.
        (["NTamd64", "NTamd64.10.0"], WIN10_1809, "NTamd64.10.0"),
        (["NTamd64.6.3", "NTamd64.10.0", "NTamd64.6.1"], WIN10_1809, "NTamd64.10.0"),
        # The fifth component is the build number: >= the system's.
        (["NTamd64.10.0...16299"], WIN10_1809, "NTamd64.10.0...16299"),
        (["NTamd64.10.0...18362"], WIN10_1809, None),
        (["NTamd64.10.0...18362", "NTamd64.10.0"], WIN10_1809, "NTamd64.10.0"),
        (["NTamd64.10.0", "NTamd64.10.0...16299", "NTamd64.10.0...17134"], WIN10_1809, "NTamd64.10.0...17134"),
        # Ties keep line order.
        (["NTamd64.10.0.1", "NTamd64.10.0.3"], WIN10_1809, "NTamd64.10.0.1"),
        # A higher version beats a higher build of a lower one.
        (["NTamd64.6.3...99999", "NTamd64.10.0"], (10, 0, 99999), "NTamd64.10.0"),
        (["NTamd64.6.2"], (6, 3, 9600), "NTamd64.6.2"),
        (["NTamd64.6.4"], (6, 3, 9600), None),
        (["NTamd64.11.0"], WIN10_1809, None),
    ]

    def test_closest_applying_decoration(self):
        for decorations, system, expected in self.CASES:
            with self.subTest(decorations=decorations, system=system):
                self.assertEqual(inf.closest(decorations, system), expected)

    def test_components(self):
        d = inf.parse_decoration("NTamd64.10.0.0x1.0x110.16299")
        self.assertEqual((d.platform, d.major, d.minor, d.product_type, d.suite_mask, d.build),
                         ("ntamd64", 10, 0, 1, 0x110, 16299))
        d = inf.parse_decoration("NTamd64.10.0...16299")
        self.assertEqual((d.major, d.minor, d.product_type, d.suite_mask, d.build), (10, 0, 0, 0, 16299))


INF = b"""; comment
[Version]
Signature = "$Windows NT$"   ; trailing comment
ClassGuid = {4D36E972-E325-11CE-BFC1-08002BE10318}
CatalogFile = plain.cat
CatalogFile.NTamd64 = %Cat%

[Manufacturer]
%Mfg% = Models, NTamd64.10.0...18362, NTamd64

[Models.NTamd64]
"Dev, with comma" = Install, ROOT\\one, \\
    COMPAT\\one
[Models.NTamd64.10.0...18362]
%Desc% = Install.New, ROOT\\two

[install.ntamd64]
[Install.NTamd64.Services]
AddService = svc1, 0x2, svc.Service
AddService = "svc2",, svc.Service
[Install.New.NT]
[Install.New.NT.Services]
AddService = svcnew,,x

[Strings]
Mfg = "Contoso"
Desc = "100%% sure"
Cat = "amd64.cat"
"""


class ReaderTest(unittest.TestCase):
    def check(self, parsed):
        self.assertEqual(parsed.signature(), "$Windows NT$")
        self.assertIn(parsed.class_guid(), inf.NETWORK_CLASSES)
        self.assertEqual(parsed.catalog(), ("CatalogFile.NTamd64", "amd64.cat"))
        self.assertEqual(parsed.manufacturers(), [("Models", ["NTamd64.10.0...18362", "NTamd64"])])
        line = parsed.lines("Models.NTamd64")[0]
        # A quoted key keeps its comma; a trailing backslash joins the next line.
        self.assertEqual((line.key, line.fields), ("Dev, with comma", ["Install", "ROOT\\one", "COMPAT\\one"]))
        self.assertEqual(parsed.lines("Models.NTamd64.10.0...18362")[0].key, "100% sure")
        self.assertEqual(parsed.hardware_ids(), {"root\\one", "compat\\one", "root\\two"})
        # Section names in any case; the install section decorated as SetupAPI does on amd64.
        self.assertEqual(parsed.install_section(WIN10_1809), ("install.ntamd64", "Install"))
        self.assertEqual(parsed.services_added(WIN10_1809), ["svc1", "svc2"])
        self.assertEqual(parsed.install_section((10, 0, 19041)), ("Install.New.NT", "Install.New"))
        self.assertEqual(parsed.services_added((10, 0, 19041)), ["svcnew"])

    def test_ansi_and_utf16_read_alike(self):
        text = INF.decode("ascii").replace("\n", "\r\n")
        for name, data in (("ANSI", text.encode("cp1252")), ("UTF-16LE", b"\xff\xfe" + text.encode("utf-16-le")),
                           ("UTF-16BE", b"\xfe\xff" + text.encode("utf-16-be"))):
            with self.subTest(name):
                self.check(inf.Inf.parse(data))

    def test_what_does_not_parse(self):
        for data, message in [(b"[Version\nSignature=x\n", "line 1: the section name is not closed with ']'"),
                              (b"Signature=x\n[Version]\n", "line 1: a line before the first section"),
                              (b"\xff\xfe[\x00V\x00\x00\xd8", "not UTF-16-LE text")]:
            with self.subTest(message):
                with self.assertRaises(inf.InfError) as caught:
                    inf.Inf.parse(data)
                self.assertTrue(str(caught.exception).startswith(message), str(caught.exception))


if __name__ == "__main__":
    unittest.main(verbosity=2)
