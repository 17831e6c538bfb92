#!/usr/bin/env python3
"""The runner's log checks against a serial log captured from a passing run on the real firmware
(data/serial-pass.txt): the log passes as it is, and each kind of damage is reported."""
import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import run_firmware_test as runner  # noqa: E402

ALL = ["RootPortBringup", "PortErrorSetup", "ImagerLauncher", "NetBootClassId"]


def captured():
    with open(os.path.join(os.path.dirname(os.path.abspath(__file__)), "data",
                           "serial-pass.txt")) as f:
        return f.read().split("\n")


def replaced(lines, old, new):
    hits = [i for i, line in enumerate(lines) if old in line]
    assert len(hits) == 1, f"{old!r} found {len(hits)} times in the captured log"
    copy = list(lines)
    copy[hits[0]] = copy[hits[0]].replace(old, new)
    return copy


class LogChecks(unittest.TestCase):
    def problems(self, lines, drivers=ALL):
        return runner.check_log(lines, drivers)[0]

    def assertReported(self, lines, text, drivers=ALL):
        problems = self.problems(lines, drivers)
        self.assertTrue(any(text in p for p in problems), f"{text!r} not in {problems}")

    def test_captured_log_passes_and_names_the_answer(self):
        problems, answer = runner.check_log(captured(), ALL)
        self.assertEqual(problems, [])
        self.assertEqual(answer, "Invalid Parameter")

    def test_failed_verdict(self):
        lines = replaced(captured(), "FWTEST PASS isp.registers", "FWTEST FAIL isp.registers")
        self.assertReported(lines, "FAIL isp.registers")

    def test_missing_and_repeated_verdicts(self):
        lines = [l for l in captured() if "rootport.exit-boot-services" not in l]
        self.assertReported(lines, "missing verdict: rootport.exit-boot-services")
        lines = captured()
        lines += [l for l in lines if "FWTEST PASS ras.registers" in l]
        self.assertReported(lines, "verdict ras.registers printed 2 times")

    def test_verdicts_of_a_driver_that_was_not_loaded(self):
        drivers = ["PortErrorSetup", "ImagerLauncher", "NetBootClassId"]
        self.assertReported(captured(), "unexpected verdict rootport.registers", drivers)

    def test_load_status(self):
        lines = replaced(captured(), "FWTEST LOAD PortErrorSetup 0x0", "FWTEST LOAD PortErrorSetup 0xE")
        self.assertReported(lines, "PortErrorSetup: %lasterror% 0x0")

    def test_ring_text(self):
        lines = replaced(captured(), "[61.234] [BOOT_TRACE]link up", "[61.235] [BOOT_TRACE]link up")
        self.assertReported(lines, "ring line 3")
        lines = [l for l in captured() if "Boot isp end!" not in l]
        self.assertReported(lines, "ring line 6")

    def test_an_accepted_set_needs_no_failure_line_and_a_read_back(self):
        lines = replaced(captured(), "pcd answer: Invalid Parameter", "pcd answer: Success")
        problems = self.problems(lines)
        self.assertIn("missing verdict: pcd.value", problems)
        self.assertTrue(any("PXEClient set string failed" in p for p in problems), problems)


if __name__ == "__main__":
    unittest.main()
