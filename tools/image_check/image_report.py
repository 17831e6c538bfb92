#!/usr/bin/env python3
"""Size and stack report of the shipped images, checked against budgets.txt.

  image_report.py check --name N --image N.efi --objects O... --budgets budgets.txt --out N.json
    measures one image after its link: file size, sections, and the stack frames of the functions
    linked into it (the compiler's -fstack-usage files beside the objects, kept to the functions
    that the lld-link map shows in the image). Fails when the image or its largest frame exceeds
    its budget, when the image has no budget, or when a frame is unbounded.
  image_report.py summary --out image-report.txt N.json...
    writes and prints the table of all images.

The budgets are a ratchet: raise one only on purpose, and lower it when an image shrinks (the
report names the images whose size fell a whole KiB or more below their budget).
"""
import argparse
import json
import os
import re
import subprocess
import sys

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from check_image import Failure, parse_pe  # noqa: E402

TOP_FRAMES = 5
SLACK_NOTE = 1024


def read_budgets(path):
    budgets = {}
    with open(path) as f:
        for number, raw in enumerate(f, 1):
            line = raw.split("#", 1)[0].split()
            if not line:
                continue
            if len(line) != 3 or not line[1].isdigit() or not line[2].isdigit():
                raise Failure(f"{path}:{number}: expected 'image file-bytes frame-bytes'")
            budgets[line[0]] = (int(line[1]), int(line[2]))
    return budgets


def linked_functions(map_path):
    """Symbols whose function section lld-link kept in the image."""
    names = set()
    with open(map_path) as f:
        for line in f:
            m = re.match(r"\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+[0-9a-fA-F]+H\s+\.text\$(\S+)", line)
            if m:
                names.add(m.group(1))
    return names


def stack_frames(objects, linked):
    """(bytes, qualifier, symbol) of every linked function, from the .su files of the objects."""
    frames = {}
    # The compiler writes no stack-usage file for an object without functions.
    found = [su for su in (re.sub(r"\.obj$", ".su", obj) for obj in objects) if os.path.exists(su)]
    if not found:
        raise Failure("no stack-usage files: the objects must be compiled with -fstack-usage")
    for su in found:
        with open(su) as f:
            for line in f:
                location, size, qualifier = line.rstrip("\n").split("\t")
                symbol = location.rsplit(":", 1)[1]
                if symbol in linked:
                    frames[symbol] = (int(size), qualifier, symbol)
    return sorted(frames.values(), key=lambda frame: (-frame[0], frame[2]))


def demangle(symbols):
    try:
        out = subprocess.run(["llvm-cxxfilt"], input="\n".join(symbols), capture_output=True,
                             text=True, check=True).stdout.splitlines()
        return out if len(out) == len(symbols) else symbols
    except (OSError, subprocess.CalledProcessError):
        return symbols


def check(args):
    budgets = read_budgets(args.budgets)
    if args.name not in budgets:
        raise Failure(f"{args.name} has no budget in {args.budgets}: add its measured size")
    size_budget, frame_budget = budgets[args.name]
    with open(args.image, "rb") as f:
        data = f.read()
    pe = parse_pe(data)
    sections = [{"name": name, "virtual": vsize, "raw": rawsize}
                for name, _, vsize, _, rawsize in pe["sections"]]
    map_path = re.sub(r"\.efi$", ".map", args.image)
    frames = stack_frames(args.objects, linked_functions(map_path))
    if not frames:
        raise Failure(f"no stack frames found for {args.name}")
    names = demangle([frame[2] for frame in frames[:TOP_FRAMES]])
    report = {
        "name": args.name, "bytes": len(data), "budget": size_budget, "frame_budget": frame_budget,
        "sections": sections,
        "frames": [{"bytes": f[0], "qualifier": f[1], "function": n}
                   for f, n in zip(frames, names)],
    }
    with open(args.out, "w") as f:
        json.dump(report, f, indent=1)

    problems = []
    if len(data) > size_budget:
        problems.append(f"{len(data)} bytes, over its budget of {size_budget}")
    if frames[0][0] > frame_budget:
        problems.append(f"largest stack frame {frames[0][0]} bytes ({names[0]}), over its "
                        f"budget of {frame_budget}")
    unbounded = [f[2] for f in frames if f[1] == "dynamic"]
    if unbounded:
        problems.append(f"unbounded stack frames in {', '.join(unbounded)}")
    if problems:
        raise Failure(f"{args.name} outgrew its budget ({args.budgets}): {'; '.join(problems)}")
    print(f"{args.name}: {len(data)} bytes (budget {size_budget}), largest frame {frames[0][0]} "
          f"bytes in {names[0]} (budget {frame_budget})")


def summary(args):
    reports = []
    for path in args.reports:
        with open(path) as f:
            reports.append(json.load(f))
    reports.sort(key=lambda r: r["name"])
    lines = ["Image report of the aarch64-uefi build (budgets: tools/image_check/budgets.txt)", "",
             f"{'image':<18}{'bytes':>7}{'budget':>8}  {'largest frame':>13}{'budget':>8}"]
    for r in reports:
        lines.append(f"{r['name']:<18}{r['bytes']:>7}{r['budget']:>8}  "
                     f"{r['frames'][0]['bytes']:>13}{r['frame_budget']:>8}")
    for r in reports:
        lines += ["", f"{r['name']}.efi, {r['bytes']} bytes:"]
        lines += [f"  {s['name']:<8} {s['virtual']:>6} bytes in memory, {s['raw']:>6} in the file"
                  for s in r["sections"]]
        lines.append("  largest stack frames:")
        lines += [f"  {f['bytes']:>6}  {f['function']}" + ("" if f["qualifier"] == "static"
                                                            else f" ({f['qualifier']})")
                  for f in r["frames"]]
        if r["budget"] - r["bytes"] >= SLACK_NOTE:
            lines.append(f"  note: {r['budget'] - r['bytes']} bytes below its budget: lower the "
                         f"budget to {r['bytes']}")
    text = "\n".join(lines) + "\n"
    with open(args.out, "w") as f:
        f.write(text)
    print(text, end="")


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    commands = parser.add_subparsers(dest="command", required=True)
    one = commands.add_parser("check")
    one.add_argument("--name", required=True)
    one.add_argument("--image", required=True)
    one.add_argument("--objects", nargs="+", required=True)
    one.add_argument("--budgets", required=True)
    one.add_argument("--out", required=True)
    table = commands.add_parser("summary")
    table.add_argument("--out", required=True)
    table.add_argument("reports", nargs="+")
    args = parser.parse_args()
    try:
        check(args) if args.command == "check" else summary(args)
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
