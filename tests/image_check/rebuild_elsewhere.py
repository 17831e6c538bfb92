#!/usr/bin/env python3
"""Builds the driver images a second time from a copy of the sources in another folder, and
compares them with the images of this build byte for byte.

The copy lies at a path of another length than the source tree, and the second build runs later
than the first: a path or a time that reached an image shows as a difference. Prints the SHA-256
of every image of both builds.
"""
import argparse
import hashlib
import os
import shutil
import subprocess
import sys

PRESET = "aarch64-uefi"
SKIPPED = {"build", ".git"}  # at the top of the source tree


def sha256(path):
    with open(path, "rb") as f:
        return hashlib.sha256(f.read()).hexdigest()


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--source", required=True, help="the source tree of this build")
    parser.add_argument("--work", required=True, help="folder for the copy and its build")
    parser.add_argument("--image", action="append", required=True, help="an image of this build")
    args = parser.parse_args()

    copy = os.path.join(os.path.abspath(args.work), "another-checkout", "of-the-same-sources")
    shutil.rmtree(args.work, ignore_errors=True)
    shutil.copytree(args.source, copy, symlinks=True,
                    ignore=lambda folder, names: SKIPPED & set(names)
                    if os.path.samefile(folder, args.source) else [])
    targets = [os.path.splitext(os.path.basename(image))[0] for image in args.image]
    for command in (["cmake", "--preset", PRESET],
                    ["cmake", "--build", "--preset", PRESET, "--target"] + targets):
        run = subprocess.run(command, cwd=copy, capture_output=True, text=True)
        if run.returncode != 0:
            print(run.stdout + run.stderr)
            print(f"FAILED: {' '.join(command)} in {copy}")
            return 1

    built = os.path.join(copy, "build", PRESET)
    differ = []
    for image in args.image:
        relative = os.path.relpath(image, os.path.join(args.source, "build", PRESET))
        again = os.path.join(built, relative)
        first, second = sha256(image), sha256(again)
        print(f"{first}  {image}\n{second}  {again}")
        if first != second:
            differ.append(os.path.basename(image))
    if differ:
        print(f"FAILED: not reproducible: {', '.join(differ)} differ between the two builds")
        return 1
    shutil.rmtree(args.work, ignore_errors=True)
    print(f"{len(args.image)} images identical in both builds")
    return 0


if __name__ == "__main__":
    sys.exit(main())
