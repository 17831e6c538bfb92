#!/usr/bin/env python3
"""Size and stack report of the shipped images, checked against budgets.txt.

  image_report.py check --name N --image N.efi --budgets budgets.txt --out N.json
    measures one image after its link: file size, sections, its largest functions and constant
    data, and the stack frame of every function linked into it, read from the linked code (see
    check_image.py: under link-time optimisation the linker generates the code, so the
    compiler's per-object stack-usage files would not describe it). Fails when the image or its
    largest frame exceeds its budget, when the image has no budget, or when a frame is sized at
    run time.
  image_report.py summary --out image-report.txt N.json...
    writes and prints the table of all images.
  image_report.py verify-frames --image X.efi --objects O...
    compares the frames read from an image built without link-time optimisation with the
    compiler's -fstack-usage files of its objects: the measurement's own test.

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
from check_image import Failure, image_functions, map_path_of, parse_pe  # noqa: E402

TOP_ITEMS = 5
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


def stack_usage(objects):
    """Symbol -> (bytes, qualifier) from the compiler's .su files beside the objects."""
    frames = {}
    # The compiler writes no stack-usage file for an object without functions.
    found = [su for su in (re.sub(r"\.obj$", ".su", obj) for obj in objects) if os.path.exists(su)]
    if not found:
        raise Failure("no stack-usage files: the objects must be compiled with -fstack-usage")
    for su in found:
        with open(su) as f:
            for line in f:
                location, size, qualifier = line.rstrip("\n").split("\t")
                frames[location.rsplit(":", 1)[1]] = (int(size), qualifier)
    return frames


def map_data_items(map_path):
    """(bytes, symbol) of each constant or initialised data item the lld-link map lists."""
    items = []
    with open(map_path) as f:
        for line in f:
            m = re.match(r"\s*[0-9a-fA-F]{4}:[0-9a-fA-F]{8}\s+([0-9a-fA-F]+)H\s+\.(?:rdata|data)\$(\S+)",
                         line)
            if m:
                items.append((int(m.group(1), 16), m.group(2)))
    return sorted(items, key=lambda item: (-item[0], item[1]))


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
    functions = image_functions(args.image, map_path_of(args.image), pe)
    frames = sorted(functions, key=lambda f: (-f.frame, f.name))[:TOP_ITEMS]
    code = sorted(functions, key=lambda f: (-f.size, f.name))[:TOP_ITEMS]
    data_items = map_data_items(map_path_of(args.image))[:TOP_ITEMS]
    names = iter(demangle([f.name for f in frames + code] + [item[1] for item in data_items]))
    report = {
        "name": args.name, "bytes": len(data), "budget": size_budget, "frame_budget": frame_budget,
        "sections": sections,
        "frames": [{"bytes": f.frame, "qualifier": "dynamic" if f.dynamic else "static",
                    "function": next(names)} for f in frames],
        "code": [{"bytes": f.size, "function": next(names)} for f in code],
        "data": [{"bytes": item[0], "symbol": next(names)} for item in data_items],
    }
    with open(args.out, "w") as f:
        json.dump(report, f, indent=1)

    largest = report["frames"][0]
    problems = []
    if len(data) > size_budget:
        problems.append(f"{len(data)} bytes, over its budget of {size_budget}")
    if largest["bytes"] > frame_budget:
        problems.append(f"largest stack frame {largest['bytes']} bytes ({largest['function']}), "
                        f"over its budget of {frame_budget}")
    unbounded = demangle([f.name for f in functions if f.dynamic])
    if unbounded:
        problems.append(f"unbounded stack frames in {', '.join(unbounded)}")
    if problems:
        raise Failure(f"{args.name} outgrew its budget ({args.budgets}): {'; '.join(problems)}")
    print(f"{args.name}: {len(data)} bytes (budget {size_budget}), largest frame "
          f"{largest['bytes']} bytes in {largest['function']} (budget {frame_budget})")


def verify_frames(args):
    with open(args.image, "rb") as f:
        pe = parse_pe(f.read())
    compiled = stack_usage(args.objects)
    functions = image_functions(args.image, map_path_of(args.image), pe)
    compared, wrong = 0, []
    for function in functions:
        if function.name not in compiled:
            continue
        compared += 1
        measured = (function.frame, "dynamic" if function.dynamic else "static")
        if measured != compiled[function.name]:
            wrong.append(f"{function.name}: {measured[0]} bytes ({measured[1]}) read from the "
                         f"image, {compiled[function.name][0]} ({compiled[function.name][1]}) "
                         "from the compiler")
    if compared == 0:
        raise Failure(f"no function of {args.image} has a stack-usage line")
    if wrong:
        raise Failure("frames differ: " + "; ".join(wrong))
    print(f"{args.image}: the frames of {compared} functions agree with the compiler's")


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
    lines.append(f"{'all':<18}{sum(r['bytes'] for r in reports):>7}"
                 f"{sum(r['budget'] for r in reports):>8}")
    for r in reports:
        lines += ["", f"{r['name']}.efi, {r['bytes']} bytes:"]
        lines += [f"  {s['name']:<8} {s['virtual']:>6} bytes in memory, {s['raw']:>6} in the file"
                  for s in r["sections"]]
        lines.append("  largest stack frames:")
        lines += [f"  {f['bytes']:>6}  {f['function']}" + ("" if f["qualifier"] == "static"
                                                            else f" ({f['qualifier']})")
                  for f in r["frames"]]
        lines.append("  largest functions:")
        lines += [f"  {f['bytes']:>6}  {f['function']}" for f in r["code"]]
        lines.append("  largest data:")
        lines += [f"  {d['bytes']:>6}  {d['symbol']}" for d in r["data"]]
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
    one.add_argument("--budgets", required=True)
    one.add_argument("--out", required=True)
    table = commands.add_parser("summary")
    table.add_argument("--out", required=True)
    table.add_argument("reports", nargs="+")
    verify = commands.add_parser("verify-frames")
    verify.add_argument("--image", required=True)
    verify.add_argument("--objects", nargs="+", required=True)
    args = parser.parse_args()
    try:
        {"check": check, "summary": summary, "verify-frames": verify_frames}[args.command](args)
    except Failure as failure:
        print(f"FAILED: {failure}", file=sys.stderr)
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
