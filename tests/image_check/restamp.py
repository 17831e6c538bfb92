#!/usr/bin/env python3
"""Copies an image and its map with another PE time stamp (the link time that lld-link writes
without /Brepro), then runs the image checker on the copy, which must refuse it."""
import argparse
import os
import shutil
import struct
import subprocess
import sys

parser = argparse.ArgumentParser(description=__doc__)
parser.add_argument("--checker", required=True)
parser.add_argument("--image", required=True)
parser.add_argument("--work", required=True)
parser.add_argument("--stamp", type=lambda text: int(text, 0), default=0x6B18C048)
args = parser.parse_args()

os.makedirs(args.work, exist_ok=True)
name = os.path.splitext(os.path.basename(args.image))[0]
copy = os.path.join(args.work, name + ".efi")
shutil.copyfile(os.path.splitext(args.image)[0] + ".map", os.path.join(args.work, name + ".map"))
with open(args.image, "rb") as f:
    data = bytearray(f.read())
struct.pack_into("<I", data, struct.unpack_from("<I", data, 0x3C)[0] + 8, args.stamp)
with open(copy, "wb") as f:
    f.write(data)
sys.exit(subprocess.run([sys.executable, args.checker, "--kind", "driver", "--image", copy]).returncode)
