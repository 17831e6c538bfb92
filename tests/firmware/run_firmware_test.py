#!/usr/bin/env python3
"""Boots the driver images in a real EDK II firmware and checks what they do there.

Debian's AArch64 EDK II firmware runs under qemu-system-aarch64 (virt machine, TCG, 4 GiB) and
starts its UEFI Shell, which runs startup.nsh from a FAT folder (QEMU's vvfat) holding the driver
images, the test application FirmwareTest.efi and the script. The script:

  1. runs `FirmwareTest.efi claim`, which reserves the SoC register and record ranges (plain RAM
     on this machine) with AllocatePages at their fixed addresses and zeroes them;
  2. seeds the registers the drivers read with the shell's `mm` (silicon, chip variant 1,
     board 0x33, one chip, a boot-log ring at 0xC5280000, ...);
  3. loads each driver with `load` and echoes %lasterror%;
  4. runs `FirmwareTest.efi check ...`, which checks the drivers' effects, calls
     ImagerLaunchProtocol, reloads NetBootClassId behind a spy of the firmware's PCD protocol,
     dumps the boot-log ring and, with RootPortBringup loaded, exits boot services and powers off;
  5. `reset -s` (QEMU runs with -no-reboot, so it exits).

This script writes the folder, runs QEMU with a hard time limit, presses a key at the shell's
countdown, stops at a CPU exception, and then checks the serial log: every expected verdict line
PASS exactly once, no FAIL, the load statuses, and the ring text line by line. The logs stay in
the work directory (serial.log as received, serial.txt without escape codes).
"""
import argparse
import os
import re
import select
import shutil
import signal
import subprocess
import sys
import time

LOAD_ORDER = ["RootPortBringup", "PortErrorSetup", "ImagerLauncher", "NetBootClassId"]
APP = "FirmwareTest.efi"

SENTINEL = 0x5A5A5A5A
RING_TEXT_BEFORE = "[BL2] ring made\n"  # what an earlier boot stage left in the ring

# (address, value, why). The expected values in app/FirmwareTest.cpp follow from these.
SEEDS = [
    # Platform: silicon (platform id 0), chip variant 1, board id 0x33, slot field 4 (type 1),
    # narrow board id, no second chip.
    (0x8000FFFC, 0x00000000, "platform identification: silicon"),
    (0x8000FFF8, 0x00000001, "chip variant 1"),
    (0x8000F07C, 0x00000033, "board id 0x33: full bring-up path"),
    (0x8000E08C, 0x10000000, "system configuration: slot field 4, second chip absent"),
    (0x80020008, 61234 * 38400, "boot counter: 61.234 s"),
    (0x881100F0, 0x1234ABCD, "random generator, first word"),
    (0x881100F4, 0x5678EF01, "random generator, second word"),
    (0x840C0004, 0x000000FF, "UART receive status, cleared by the set-up"),
    (0x840C0018, 0x00000080, "UART flags: transmit FIFO empty, not full"),
    # Boot-log ring: selector byte 1 picks 0xC5280000 (0x31280000 is not RAM here).
    (0xC6F08008, 0x00010000, "boot-log selector byte 0xC6F0800A = 1"),
    (0xC5280000, 0xEAEA2020, "ring magic"),
    (0xC528000C, 0x1000 + 308225, "log base offset, taken modulo 308225"),
    (0xC5280010, 0x00005000, "slot table size: slot stride 0x800"),
    (0xC5280028, 0x00000400, "UEFI offset"),
    (0xC5280078, 13, "slot index, taken modulo 10"),
    (0xC5282C00, SENTINEL, "log region X: first word, never touched"),
    (0xC5282FFC, SENTINEL, "log region X: last word before the area header"),
    (0xC5283004, 0x00004000, "area size"),
    (0xC528300C, 0x0C0C0C0C, "preserved header word"),
    (0xC5283014, 0x14141414, "preserved header word"),
    (0xC5283040, len(RING_TEXT_BEFORE), "write offset after the earlier stage's text"),
    # RootPortBringup: the boot SSD's link is up.
    (0xA2916088, 0x00040000, "SSD link status bit 18"),
    # PortErrorSetup's merges keep the bits they do not set or clear.
    (0xA29073E4, 0xFFFFFFFF, "RAS merge: bit 1 cleared"),
    (0xA2808010, 0x00000001, "RAS merge: bits 25, 21, 20 set"),
    (0xA2808018, 0x80000000, "RAS merge: bits 25, 21, 20 set"),
    # ImagerLauncher: registers its start sequence merges into, and ones it must leave alone.
    (0xA0780030, 0x00000001, "ISP start register"),
    (0xA9303048, 0xF000000F, "ISP core 0 control"),
    (0xA93031A4, 0x80000000, "ISP core 0 image address"),
    (0xA9303058, 0x0000FFFF, "ISP core 0 register 0x58"),
    (0xA930304C, SENTINEL, "ISP core 0 register 0x4C: chip variant 3 only"),
    (0xA9122038, SENTINEL, "chip variant 3 only"),
    (0xA80E0020, SENTINEL, "chip variant 3 only"),
    (0xA80E0044, SENTINEL, "chip variant 3 only"),
    (0xC6F36500, 0xDEADBEEF, "ISP status record"),
    (0xC6F36504, 0xDEADBEEF, "ISP status record"),
    (0xC6F36508, 0xDEADBEEF, "ISP status record"),
    (0xC6F3650C, 0xDEADBEEF, "ISP status record"),
    (0xCD080C00, 0x12345678, "ISP marker word"),
]

CLAIMED = ["platform-id", "boot-counter", "uart", "rng", "isp-start", "pcie-misc", "pcie",
           "isp-core0-g", "isp-blocks", "isp-v3", "isp-core0-pb", "isp-core0-cb", "isp-core1-pb",
           "isp-core1-cb", "isp-core1-g", "isp-fw0", "isp-fw1", "boot-log-ring",
           "boot-log-selector", "isp-status", "isp-marker"]

ANSI = re.compile(r"\x1b\[[0-9;?=]*[A-Za-z]|\x1b[()][A-Za-z0-9]|\x1b[=>]")
VERDICT = re.compile(r"FWTEST (PASS|FAIL) (\S+): (.*)$")
EXCEPTION = "Synchronous Exception at"
COUNTDOWN = "Press ESC in"


class Failure(Exception):
    pass


def seed_words():
    words = list(SEEDS)
    text = RING_TEXT_BEFORE.encode()
    for offset in range(0, len(text), 4):
        chunk = text[offset:offset + 4].ljust(4, b"\0")
        words.append((0xC5283080 + offset, int.from_bytes(chunk, "little"), "earlier stage text"))
    return words


def guard_rva(efi_path):
    """RVA of __stack_chk_guard from the image's lld-link map file."""
    map_path = re.sub(r"\.efi$", ".map", efi_path)
    with open(map_path) as f:
        for line in f:
            m = re.match(r"\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+__stack_chk_guard\s+([0-9a-fA-F]{16})",
                         line)
            if m:
                return int(m.group(1), 16)
    raise Failure(f"{map_path}: no __stack_chk_guard")


def write_folder(fat, app, drivers, inject_fault):
    if os.path.isdir(fat):
        shutil.rmtree(fat)
    os.makedirs(fat)
    shutil.copy(app, os.path.join(fat, APP))
    for name, path in drivers.items():
        shutil.copy(path, os.path.join(fat, name + ".efi"))
    lines = ["@echo -off",
             f"fs0:\\{APP} claim",
             "if %lasterror% ne 0 then",
             "  memmap",
             "  echo FWTEST ABORT claim failed",
             "  reset -s",
             "endif"]
    if inject_fault:
        lines += [f"fs0:\\{APP} fault"]
    lines += [f"mm 0x{address:08X} 0x{value:08X} -w 4 -n" for address, value, _ in seed_words()]
    for name in drivers:
        lines += [f"load fs0:\\{name}.efi", f"echo FWTEST LOAD {name} %lasterror%"]
    args = " ".join(f"{name}:{guard_rva(path):X}" for name, path in drivers.items())
    lines += [f"fs0:\\{APP} check {args}",
              "echo FWTEST CHECK-STATUS %lasterror%",
              "reset -s"]
    with open(os.path.join(fat, "startup.nsh"), "w", newline="\r\n") as f:
        f.write("\n".join(lines) + "\n")


def run_qemu(args, fat, work):
    command = ["timeout", "--kill-after=5", str(args.timeout), args.qemu,
               "-M", "virt", "-cpu", "cortex-a57", "-m", "4G", "-smp", "1",
               "-drive", f"if=pflash,format=raw,unit=0,readonly=on,file={args.code}",
               "-drive", f"if=pflash,format=raw,unit=1,snapshot=on,file={args.vars}",
               "-drive", f"file=fat:{fat},format=raw,if=virtio,readonly=on",
               "-boot", "menu=on,splash-time=0", "-nic", "none", "-display", "none",
               "-monitor", "none", "-serial", "stdio", "-no-reboot"]
    with open(os.path.join(work, "command.txt"), "w") as f:
        f.write(" ".join(command) + "\n")
    raw = bytearray()
    text = ""
    key_sent = False
    exception_at = None
    times = {}
    start = time.monotonic()
    with open(os.path.join(work, "qemu.stderr"), "wb") as stderr:
        qemu = subprocess.Popen(command, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                stderr=stderr, start_new_session=True)
        try:
            while True:
                now = time.monotonic() - start
                if now > args.timeout + 10:
                    raise Failure(f"QEMU still running after {args.timeout + 10} s")
                if exception_at is not None and now - exception_at > 1.0:
                    break
                ready, _, _ = select.select([qemu.stdout], [], [], 0.2)
                if ready:
                    chunk = os.read(qemu.stdout.fileno(), 65536)
                    if not chunk:
                        break
                    raw += chunk
                    text = ANSI.sub("", raw.decode("latin-1"))
                    # A key pressed during the countdown starts startup.nsh at once; one pressed
                    # before it is discarded.
                    if not key_sent and COUNTDOWN in text:
                        qemu.stdin.write(b" ")
                        qemu.stdin.flush()
                        key_sent = True
                        times["shell"] = now
                    if "verdict" not in times and "FWTEST DONE" in text:
                        times["verdict"] = time.monotonic() - start
                    if exception_at is None and EXCEPTION in text:
                        exception_at = now
                elif qemu.poll() is not None:
                    break
            # The serial line closes as QEMU exits; the time-limit wrapper follows it. After an
            # exception the firmware hangs, so it is stopped at once.
            if exception_at is None:
                qemu.wait(timeout=max(1.0, args.timeout + 10 - (time.monotonic() - start)))
        except subprocess.TimeoutExpired:
            pass
        finally:
            if qemu.poll() is None:
                os.killpg(qemu.pid, signal.SIGKILL)
                qemu.wait()
    times["exit"] = time.monotonic() - start
    with open(os.path.join(work, "serial.log"), "wb") as f:
        f.write(raw)
    lines = [line.rstrip("\r") for line in text.replace("\r\n", "\n").split("\n")]
    with open(os.path.join(work, "serial.txt"), "w") as f:
        f.write("\n".join(lines) + "\n")
    if exception_at is not None:
        index = next(i for i, line in enumerate(lines) if EXCEPTION in line)
        context = "\n".join(lines[max(0, index - 15):index + 25])
        raise Failure(f"CPU exception in the firmware:\n{context}")
    if qemu.returncode in (124, 137, -signal.SIGKILL):
        raise Failure(f"QEMU did not finish within {args.timeout} s (time limit)")
    if qemu.returncode != 0:
        raise Failure(f"QEMU exited with status {qemu.returncode}")
    return lines, times


def expected_verdicts(drivers, pcd_answer):
    ids = [f"claim.{name}" for name in CLAIMED] + ["claim.low-ring-absent"]
    ids += [f"startup.guard.{name}" for name in drivers] + ["startup.uart"]
    if "RootPortBringup" in drivers:
        ids += ["rootport.ports-enabled", "rootport.registers"]
    if "PortErrorSetup" in drivers:
        ids += ["ras.registers"]
    if "ImagerLauncher" in drivers:
        ids += ["isp.protocol", "isp.idle-after-load", "isp.start-both", "isp.registers",
                "isp.set-status", "isp.marker", "isp.reject", "console.echo"]
    if "NetBootClassId" in drivers:
        ids += ["pcd.located", "pcd.spy-installed", "pcd.spy-restored", "pcd.driver-status",
                "pcd.set-ptr-slot"]
        if pcd_answer == "Success" or pcd_answer.startswith("Warning"):
            ids += ["pcd.value"]
    ids += ["startup.lzma-table", "ring.header"]
    if "RootPortBringup" in drivers:
        ids += ["rootport.exit-boot-services"]
    return ids


def expected_ring(drivers, pcd_answer):
    """The ring text, in load order: only WARNING and ERROR lines pass on silicon."""
    refused = pcd_answer is not None and pcd_answer != "Success" and \
        not pcd_answer.startswith("Warning")
    pxe = [f"[ERROR][UEFI]PXEClient set string failed: {pcd_answer}"] if refused else []
    lines = [RING_TEXT_BEFORE.rstrip("\n")]
    if "RootPortBringup" in drivers:
        lines += ["[WARNING][UEFI]Wait PCIE SSD...",
                  "[WARNING][UEFI][61.234] [BOOT_TRACE]link up"]
    if "NetBootClassId" in drivers:
        lines += pxe  # the script's load
    if "ImagerLauncher" in drivers:
        lines += ["[WARNING][UEFI][5.007] [BOOT_TRACE] Boot isp start...",
                  "[WARNING][UEFI]Boot isp end!",
                  "[ERROR][UEFI]isp_fw0 image load Size1: 0x1400001"]
    if "NetBootClassId" in drivers:
        lines += pxe  # the application's spied load
    return lines


def check_log(lines, drivers):
    problems = []

    def need(pattern, what):
        if not any(re.search(pattern, line) for line in lines):
            problems.append(f"missing: {what}")

    need(rf"FWTEST CLAIMED {len(CLAIMED) + 1} ranges, 0 failed", "all ranges claimed")
    for name in drivers:
        need(rf"Image 'FS0:\\{name}\.efi' loaded at [0-9A-F]+ - Success", f"{name} loaded")
        need(rf"FWTEST LOAD {name} 0x0$", f"{name}: %lasterror% 0x0")
    if any("FWTEST ABORT" in line for line in lines):
        problems.append("the claim step failed, nothing was seeded (the memory map is in the log)")

    answers = [m.group(1) for line in lines
               for m in [re.search(r"FWTEST INFO pcd answer: (.+?) \(size after", line)] if m]
    pcd_answer = answers[0] if answers else None
    if "NetBootClassId" in drivers and pcd_answer is None:
        problems.append("missing: the firmware's answer to SetPtr")

    verdicts = {}
    for line in lines:
        m = VERDICT.search(line)
        if m:
            verdicts.setdefault(m.group(2), []).append((m.group(1), m.group(3)))
    expected = expected_verdicts(drivers, pcd_answer or "")
    for check in expected:
        got = verdicts.get(check, [])
        if not got:
            problems.append(f"missing verdict: {check}")
        elif len(got) > 1:
            problems.append(f"verdict {check} printed {len(got)} times")
        elif got[0][0] != "PASS":
            problems.append(f"FAIL {check}: {got[0][1]}")
    for check in verdicts:
        if check not in expected:
            problems.append(f"unexpected verdict {check}: {verdicts[check]}")
    checked = [check for check in expected if not check.startswith("claim.")]
    before_exit = [check for check in checked if check != "rootport.exit-boot-services"]
    need(rf"FWTEST DONE {len(before_exit)} checks, 0 failed", "the summary line")
    if "RootPortBringup" in drivers:
        need(rf"FWTEST END {len(checked)} checks, 0 failed", "the summary after ExitBootServices")
    else:
        need(r"FWTEST CHECK-STATUS 0x0$", "the check step's status 0x0")

    ring = []
    inside = False
    for line in lines:
        if "FWTEST RING-BEGIN" in line:
            inside = True
        elif "FWTEST RING-END" in line:
            inside = False
        elif inside:
            m = re.search(r"FWTEST RING\|(.*)$", line)
            if m:
                ring.append(m.group(1))
    want = expected_ring(drivers, pcd_answer)
    for index in range(max(len(ring), len(want))):
        got = ring[index] if index < len(ring) else "<none>"
        exp = want[index] if index < len(want) else "<none>"
        if got != exp:
            problems.append(f"ring line {index + 1}: {got!r}, expected {exp!r}")
    size = sum(len(line) + 1 for line in want)
    need(rf"FWTEST RING-BEGIN {size} bytes", f"ring of {size} bytes")
    return problems, pcd_answer


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--app", required=True, help="FirmwareTest.efi")
    parser.add_argument("--driver", action="append", default=[], help="a driver image NAME.efi")
    parser.add_argument("--work-dir", required=True)
    parser.add_argument("--qemu", default="qemu-system-aarch64")
    parser.add_argument("--code", default="/usr/share/AAVMF/AAVMF_CODE.fd")
    parser.add_argument("--vars", default="/usr/share/AAVMF/AAVMF_VARS.fd")
    parser.add_argument("--timeout", type=int, default=120, help="hard limit in seconds")
    parser.add_argument("--inject-fault", action="store_true",
                        help="let the application raise a CPU exception after the claim step")
    args = parser.parse_args()

    by_name = {os.path.basename(path)[:-len(".efi")]: path for path in args.driver}
    unknown = [name for name in by_name if name not in LOAD_ORDER]
    drivers = {name: by_name[name] for name in LOAD_ORDER if name in by_name}
    work = os.path.abspath(args.work_dir)
    os.makedirs(work, exist_ok=True)
    fat = os.path.join(work, "fat")
    try:
        if unknown:
            raise Failure(f"no checks for driver images {unknown}")
        for path in (args.code, args.vars):
            if not os.path.exists(path):
                raise Failure(f"{path} missing (Debian package qemu-efi-aarch64)")
        if shutil.which(args.qemu) is None:
            raise Failure(f"{args.qemu} missing (Debian package qemu-system-arm)")
        write_folder(fat, args.app, drivers, args.inject_fault)
        lines, times = run_qemu(args, fat, work)
        problems, pcd_answer = check_log(lines, drivers)
        if problems:
            raise Failure("\n".join(problems))
    except Failure as failure:
        print(f"FAILED: {failure}\nlogs: {work}/serial.txt, {work}/serial.log, {fat}/startup.nsh",
              file=sys.stderr)
        return 1
    print(f"firmware test passed: drivers {', '.join(drivers)}; PCD SetPtr(2) answered "
          f"{pcd_answer}")
    print(f"shell countdown at {times.get('shell', 0):.1f} s, verdict at "
          f"{times.get('verdict', 0):.1f} s, QEMU gone at {times['exit']:.1f} s")
    return 0


if __name__ == "__main__":
    sys.exit(main())
