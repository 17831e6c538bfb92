#!/usr/bin/env python3
"""The EDK II binary modules of the aarch64-uefi build: one INF per driver image with its own
FILE_GUID, the image itself and its dependency expression, whose bytes are the PI opcodes
written out here. Also the expression writer's refusals."""
import os
import re
import struct
import sys
import unittest
import uuid

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "..", "tools",
                                "edk2"))
import make_depex  # noqa: E402

PCD_PROTOCOL = "02 06 40 B3 11 5B D8 0A 4D A2 90 D5 A5 71 31 0E F7 08"  # PUSH gPcdProtocolGuid END
EXPECTED_DEPEX = {
    "RootPortBringup": "06 08",  # TRUE END
    "ImagerLauncher": "06 08",
    "PortErrorSetup": "06 08",
    "NetBootClassId": PCD_PROTOCOL,
}

PACKAGE = os.environ.get("DXE_EDK2_PACKAGE", "")
SOURCES = os.environ.get("DXE_EDK2_SOURCES", "")
IMAGES = dict(item.split("=", 1) for item in os.environ.get("DXE_IMAGES", "").split(";") if item)


def hexbytes(text):
    return bytes(int(b, 16) for b in text.split())


def parse_inf(path):
    sections = {}
    current = None
    with open(path) as f:
        for raw in f:
            line = raw.split("#", 1)[0].strip()
            if not line:
                continue
            m = re.fullmatch(r"\[([^\]]+)\]", line)
            if m:
                current = sections.setdefault(m.group(1), [])
            elif current is None:
                raise AssertionError(f"{path}: '{line}' outside a section")
            else:
                current.append(line)
    return sections


@unittest.skipUnless(PACKAGE and IMAGES, "run by ctest with the package paths")
class Package(unittest.TestCase):
    def test_every_image_has_a_module(self):
        self.assertEqual(sorted(IMAGES), sorted(EXPECTED_DEPEX))
        guids = {}
        for name, image in IMAGES.items():
            with self.subTest(name):
                module = os.path.join(PACKAGE, name)
                with open(os.path.join(SOURCES, name, f"{name}.inf"), "rb") as f:
                    source = f.read()
                with open(os.path.join(module, f"{name}.inf"), "rb") as f:
                    self.assertEqual(f.read(), source, "packaged INF differs from edk2/")
                inf = parse_inf(os.path.join(module, f"{name}.inf"))
                defines = dict(re.split(r"\s*=\s*", line, 1) for line in inf["Defines"])
                self.assertEqual(defines["BASE_NAME"], name)
                self.assertEqual(defines["MODULE_TYPE"], "DXE_DRIVER")
                self.assertRegex(defines["INF_VERSION"], r"^0x[0-9A-Fa-f]{8}$")
                guid = str(uuid.UUID(defines["FILE_GUID"])).upper()
                self.assertEqual(guid, defines["FILE_GUID"])
                self.assertNotIn(guid, guids, f"FILE_GUID shared with {guids.get(guid)}")
                guids[guid] = name
                self.assertEqual(inf["Binaries.AARCH64"],
                                 [f"PE32|{name}.efi|*", f"DXE_DEPEX|{name}.depex|*"])

                with open(os.path.join(module, f"{name}.efi"), "rb") as f:
                    packaged = f.read()
                with open(image, "rb") as f:
                    self.assertEqual(packaged, f.read(), "packaged image differs from the build's")
                pe = struct.unpack_from("<I", packaged, 0x3C)[0]
                self.assertEqual(struct.unpack_from("<H", packaged, pe + 4)[0], 0xAA64)
                self.assertEqual(struct.unpack_from("<H", packaged, pe + 24 + 68)[0], 11,
                                 "not a boot-service driver")

                with open(os.path.join(module, f"{name}.depex"), "rb") as f:
                    self.assertEqual(f.read().hex(" ").upper(), EXPECTED_DEPEX[name])


class Writer(unittest.TestCase):
    def test_opcodes(self):
        self.assertEqual(make_depex.encode(["TRUE", "END"]), hexbytes("06 08"))
        self.assertEqual(make_depex.encode(["PUSH", "11B34006-D85B-4D0A-A290-D5A571310EF7", "END"]),
                         hexbytes(PCD_PROTOCOL))
        self.assertEqual(make_depex.encode(["SOR", "TRUE", "FALSE", "OR", "NOT", "END"]),
                         hexbytes("09 06 07 04 05 08"))
        self.assertEqual(
            make_depex.encode(["AFTER", "E5037DA0-D990-F5CE-D2E0-7D399130A5FF", "END"]),
            hexbytes("01 A0 7D 03 E5 90 D9 CE F5 D2 E0 7D 39 91 30 A5 FF 08"))

    def test_decode_reads_back(self):
        words = ["PUSH", "11B34006-D85B-4D0A-A290-D5A571310EF7", "PUSH",
                 "E5037DA0-D990-F5CE-D2E0-7D399130A5FF", "AND", "END"]
        self.assertEqual(make_depex.decode(make_depex.encode(words)), words)

    def test_malformed_expressions_are_refused(self):
        guid = "11B34006-D85B-4D0A-A290-D5A571310EF7"
        for words in (["TRUE"], ["END"], ["TRUE", "TRUE", "END"], ["TRUE", "AND", "END"],
                      ["NOT", "END"], ["TRUE", "END", "TRUE"], ["TRUE", "SOR", "END"],
                      ["PUSH", "END"], ["PUSH", "not-a-guid", "END"], ["TRUE", "XOR", "END"],
                      ["BEFORE", guid, "TRUE", "END"], ["TRUE", "AFTER", guid, "END"]):
            with self.subTest(words=words):
                with self.assertRaises(make_depex.BadExpression):
                    make_depex.encode(words)


if __name__ == "__main__":
    unittest.main()
