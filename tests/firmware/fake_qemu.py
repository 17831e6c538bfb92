#!/usr/bin/env python3
"""Stands in for qemu-system-aarch64 in the runner's own test: prints what the firmware prints up
to the shell's countdown, then hangs like a firmware that never finishes. Arguments are ignored."""
import sys
import time

sys.stdout.write("UEFI Interactive Shell v2.2\r\n"
                 "Press ESC in 5 seconds to skip startup.nsh or any other key to continue.")
sys.stdout.flush()
while True:
    time.sleep(60)
