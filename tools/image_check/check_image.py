#!/usr/bin/env python3
"""Checks a shipped AArch64 UEFI image and the objects it was linked from.

Image: PE32+, machine ARM64, the expected subsystem, an entry point inside .text, relocations not
stripped and present as DIR64 entries only, no import or debug directory, no sections beyond
.text .rdata .data .bss .reloc, no FP/SIMD instruction, and stack protection wired up: a guarded
function loads the guard and calls __stack_chk_fail on mismatch. Objects: no static constructors,
which the linker would fold away and nothing would ever run.
"""
import argparse
import re
import struct
import subprocess
import sys

MACHINE_ARM64 = 0xAA64
PE32_PLUS = 0x20B
# Image kind: its subsystem and a function with a local buffer that every image of the kind has.
KINDS = {
    "driver": (11, "LogPrint"),
    "application": (10, "LogPrint"),
    "test-application": (10, "Print"),
}
RELOCS_STRIPPED = 0x0001
ALLOWED_SECTIONS = {".text", ".rdata", ".data", ".bss", ".reloc"}
FORBIDDEN_OBJECT_SECTIONS = (".ctors", ".dtors", ".CRT", ".tls", ".init_array", ".fini_array")
DIR_IMPORT, DIR_BASERELOC, DIR_DEBUG = 1, 5, 6
REL_ABSOLUTE, REL_DIR64 = 0, 10


class Failure(Exception):
    pass


def parse_pe(data):
    if data[:2] != b"MZ":
        raise Failure("not a PE image: no MZ header")
    pe = struct.unpack_from("<I", data, 0x3C)[0]
    if data[pe:pe + 4] != b"PE\0\0":
        raise Failure("no PE signature")
    machine, nsections, _, _, _, opt_size, characteristics = struct.unpack_from("<HHIIIHH", data, pe + 4)
    opt = pe + 24
    magic = struct.unpack_from("<H", data, opt)[0]
    if magic != PE32_PLUS:
        raise Failure(f"optional header magic {magic:#x}, expected PE32+ ({PE32_PLUS:#x})")
    entry = struct.unpack_from("<I", data, opt + 16)[0]
    image_base = struct.unpack_from("<Q", data, opt + 24)[0]
    subsystem = struct.unpack_from("<H", data, opt + 68)[0]
    ndirs = struct.unpack_from("<I", data, opt + 108)[0]
    dirs = [struct.unpack_from("<II", data, opt + 112 + 8 * i) for i in range(ndirs)]
    sections = []
    for i in range(nsections):
        off = opt + opt_size + 40 * i
        name = data[off:off + 8].rstrip(b"\0").decode()
        vsize, vaddr, rawsize, rawptr = struct.unpack_from("<IIII", data, off + 8)
        sections.append((name, vaddr, vsize, rawptr, rawsize))
    return dict(machine=machine, characteristics=characteristics, entry=entry, image_base=image_base,
                subsystem=subsystem, dirs=dirs, sections=sections)


def rva_to_offset(pe, rva):
    for name, vaddr, vsize, rawptr, rawsize in pe["sections"]:
        if vaddr <= rva < vaddr + max(vsize, rawsize):
            return rawptr + (rva - vaddr)
    raise Failure(f"RVA {rva:#x} lies in no section")


def check_relocations(data, pe):
    rva, size = pe["dirs"][DIR_BASERELOC] if len(pe["dirs"]) > DIR_BASERELOC else (0, 0)
    if size == 0:
        raise Failure("no base relocations: the image could not be loaded at another address")
    off, end, count = rva_to_offset(pe, rva), rva_to_offset(pe, rva) + size, 0
    while off < end:
        page, block = struct.unpack_from("<II", data, off)
        if block < 8:
            raise Failure("malformed relocation block")
        for i in range((block - 8) // 2):
            entry = struct.unpack_from("<H", data, off + 8 + 2 * i)[0]
            kind = entry >> 12
            if kind == REL_DIR64:
                count += 1
            elif kind != REL_ABSOLUTE:
                raise Failure(f"relocation type {kind} at page {page:#x}: only DIR64 is expected")
        off += block
    return count


def read_map(path):
    """Symbol -> RVA from lld-link's map file (public and static symbols)."""
    symbols = {}
    try:
        with open(path) as f:
            for line in f:
                m = re.match(r"\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+(\S+)\s+([0-9a-fA-F]{16})\s", line)
                if m:
                    symbols.setdefault(m.group(1), int(m.group(2), 16))
    except OSError:
        pass
    return symbols


def find_symbol(symbols, name):
    """A plain or C++-mangled (_Z<len><name>..., also in an anonymous namespace) symbol's RVA,
    or None."""
    if name in symbols:
        return symbols[name]
    prefixes = (f"_Z{len(name)}{name}", f"_ZN12_GLOBAL__N_1{len(name)}{name}E")
    for symbol, rva in symbols.items():
        if symbol.startswith(prefixes):
            return rva
    return None


def disassemble(image):
    out = subprocess.run(["llvm-objdump", "-d", "--no-show-raw-insn", image], check=True,
                         capture_output=True, text=True).stdout
    insns = []
    for line in out.splitlines():
        m = re.match(r"\s*([0-9a-f]+):\s+(\S+)\s*(.*)$", line)
        if m:
            insns.append((int(m.group(1), 16), m.group(2), m.group(3)))
    return insns


FP_OPERAND = re.compile(r"(?<![\w#])(?:[bhsdq](?:[12]?[0-9]|3[01])|v(?:[12]?[0-9]|3[01])\.\w+)\b")


def check_no_fp(insns):
    for addr, mnemonic, operands in insns:
        ops = re.sub(r"<[^>]*>", "", operands.split("//")[0])
        if FP_OPERAND.search(ops) or mnemonic.startswith(("fmov", "fadd", "fmul", "scvtf", "ucvtf")):
            raise Failure(f"FP/SIMD instruction at {addr:#x}: {mnemonic} {operands}")


def check_stack_protector(insns, symbols, image_base, guarded):
    needed = [guarded, "__stack_chk_fail", "__stack_chk_guard"]
    found = {name: find_symbol(symbols, name) for name in needed}
    missing = [name for name, rva in found.items() if rva is None]
    if missing:
        raise Failure(f"map file lacks {', '.join(missing)}: cannot prove stack protection")
    start = image_base + found[guarded]
    following = sorted(v for v in symbols.values() if image_base + v > start)
    end = image_base + following[0] if following else start + 0x1000
    guard_targets = {image_base + found["__stack_chk_guard"]}
    if ".refptr.__stack_chk_guard" in symbols:
        guard_targets.add(image_base + symbols[".refptr.__stack_chk_guard"])
    fail = image_base + found["__stack_chk_fail"]
    body = [i for i in insns if start <= i[0] < end]
    pages = {}
    loads_guard = calls_fail = False
    for addr, mnemonic, operands in body:
        m = re.match(r"(x\d+), (0x[0-9a-f]+|\d+)", operands)
        if mnemonic == "adrp" and m:
            pages[m.group(1)] = int(m.group(2), 0)
        m = re.match(r"x\d+, \[(x\d+)(?:, #(-?0x[0-9a-f]+|-?\d+))?\]", operands)
        if mnemonic in ("ldr", "add") and m and m.group(1) in pages:
            if pages[m.group(1)] + int(m.group(2) or "0", 0) in guard_targets:
                loads_guard = True
        m = re.match(r"x\d+, (x\d+), #(0x[0-9a-f]+|\d+)", operands)
        if mnemonic == "add" and m and m.group(1) in pages:
            if pages[m.group(1)] + int(m.group(2), 0) in guard_targets:
                loads_guard = True
        if mnemonic == "bl" and operands.startswith("0x") and int(operands.split()[0], 16) == fail:
            calls_fail = True
    if not loads_guard:
        raise Failure(f"{guarded} does not load __stack_chk_guard")
    if not calls_fail:
        raise Failure(f"{guarded} does not call __stack_chk_fail")


def check_objects(objects):
    for obj in objects:
        with open(obj, "rb") as f:
            data = f.read()
        _, nsections, _, _, _, opt_size, _ = struct.unpack_from("<HHIIIHH", data, 0)
        strtab = struct.unpack_from("<I", data, 8)[0] + 18 * struct.unpack_from("<I", data, 12)[0]
        for i in range(nsections):
            raw = data[20 + opt_size + 40 * i:20 + opt_size + 40 * i + 8]
            name = raw.rstrip(b"\0").decode()
            if name.startswith("/"):
                start = strtab + int(name[1:])
                name = data[start:data.index(b"\0", start)].decode()
            if name.startswith(FORBIDDEN_OBJECT_SECTIONS):
                raise Failure(f"{obj}: section {name}: static constructors or TLS never run in an image")


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--kind", choices=KINDS, required=True)
    parser.add_argument("--image", required=True)
    parser.add_argument("--map", help="lld-link map file (default: IMAGE with .map)")
    parser.add_argument("--objects", nargs="*", default=[])
    args = parser.parse_args()
    try:
        with open(args.image, "rb") as f:
            data = f.read()
        pe = parse_pe(data)
        if pe["machine"] != MACHINE_ARM64:
            raise Failure(f"machine {pe['machine']:#x}, expected ARM64 ({MACHINE_ARM64:#x})")
        subsystem, guarded = KINDS[args.kind]
        if pe["subsystem"] != subsystem:
            raise Failure(f"subsystem {pe['subsystem']}, expected {subsystem}")
        if pe["characteristics"] & RELOCS_STRIPPED:
            raise Failure("relocations stripped")
        names = [s[0] for s in pe["sections"]]
        extra = [n for n in names if n not in ALLOWED_SECTIONS]
        if extra:
            raise Failure(f"unexpected sections {extra}")
        text = next((s for s in pe["sections"] if s[0] == ".text"), None)
        if text is None or not text[1] <= pe["entry"] < text[1] + text[2]:
            raise Failure(f"entry point {pe['entry']:#x} outside .text")
        for index, what in ((DIR_IMPORT, "import table"), (DIR_DEBUG, "debug directory")):
            if len(pe["dirs"]) > index and pe["dirs"][index][1] != 0:
                raise Failure(f"image has an {what}")
        relocs = check_relocations(data, pe)
        insns = disassemble(args.image)
        check_no_fp(insns)
        symbols = read_map(args.map or re.sub(r"\.efi$", ".map", args.image))
        check_stack_protector(insns, symbols, pe["image_base"], guarded)
        check_objects(args.objects)
    except Failure as failure:
        print(f"{args.image}: FAILED: {failure}", file=sys.stderr)
        return 1
    print(f"{args.image}: ok ({len(data)} bytes, sections {' '.join(names)}, {relocs} DIR64 relocations)")
    return 0


if __name__ == "__main__":
    sys.exit(main())
