#!/usr/bin/env python3
"""Writes the benchmark workloads: seeded, realistic legacy presets.

  generate.py huge PATH MIB     one preset file of about MIB mebibytes
  generate.py nuls PATH MIB     MIB mebibytes of NUL bytes
  generate.py library DIR N     N presets of about 1 KB in DIR
"""
import os
import random
import sys

KEYS = ["SizeX", "SizeY", "Rotate", "Scatter", "mixing", "spacing", "hardness",
        "jitter", "flow", "angle", "roundness", "density"]
NAMES = ["round", "soft", "chalk", "ink", "airbrush", "pencil", "charcoal", "wet edge",
         "grain", "splatter", "flat", "fan"]


def preset_lines(rng):
    """One preset's lines, as a legacy preset writer would have saved them."""
    name = rng.choice(NAMES)
    lines = [f"global.brushname='{name}.kvr';",
             f"global.dirbrush='{rng.choice(NAMES)}';",
             f"global.Transp={rng.randint(0, 100)};"]
    for key in rng.sample(KEYS, rng.randint(6, len(KEYS))):
        value = rng.choice([str(rng.randint(-360, 360)), f"{rng.randint(0, 99)}.{rng.randint(0, 9)}",
                            f"'{rng.choice(NAMES)}'", f"${rng.randint(0, 255):X}"])
        lines.append(f"global.{key}={value};")
    lines.append(f"global.texture='{rng.choice(NAMES)}.kvr';")
    lines.append("")
    return lines


def preset_pool(rng, count=4096):
    """Distinct presets, each with CR LF or LF line ends."""
    pool = []
    for _ in range(count):
        ending = rng.choice([b"\r\n", b"\n"])
        pool.append(ending.join(line.encode() for line in preset_lines(rng)) + ending)
    return pool


def preset_bytes(rng, pool, target):
    chunks, size = [], 0
    while size < target:
        chunk = rng.choice(pool)
        chunks.append(chunk)
        size += len(chunk)
    return b"".join(chunks)[:target]


def main():
    kind, path, amount = sys.argv[1], sys.argv[2], int(sys.argv[3])
    rng = random.Random(20261207)
    pool = preset_pool(rng)
    if kind == "huge":
        with open(path, "wb") as out:
            block = 1 << 20
            for _ in range(amount):
                out.write(preset_bytes(rng, pool, block))
    elif kind == "nuls":
        with open(path, "wb") as out:
            out.write(bytes(amount << 20))
    elif kind == "library":
        os.makedirs(path, exist_ok=True)
        for i in range(amount):
            with open(os.path.join(path, f"preset{i:05d}.kvr"), "wb") as out:
                out.write(preset_bytes(rng, pool, 1024))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
