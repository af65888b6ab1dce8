#!/usr/bin/env python3
"""Writes the benchmark workloads: seeded, realistic legacy presets.

  generate.py huge PATH MIB     one preset file of about MIB mebibytes
  generate.py plain PATH MIB [SHORTEST LONGEST]
                                lines of 200 to 2,000 bytes (or as given) that no rule acts on
  generate.py dense PATH MIB [SHORTEST LONGEST]
                                lines of 200 to 2,000 bytes (or as given) of preset statements
                                back to back, dense with the texts the rules act on
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


def plain_piece(rng):
    """Text no rule acts on: settings as plain words and numbers."""
    key = rng.choice(["mixing", "spacing", "hardness", "jitter", "flow", "angle", "roundness", "density"])
    return f"{key}={rng.randint(0, 999)} {rng.choice(NAMES)}, "


def dense_piece(rng):
    """A legacy statement: every one holds several texts the rules act on."""
    key = rng.choice(KEYS + ["brushname", "dirbrush", "texture", "Transparency"])
    value = rng.choice([str(rng.randint(-360, 360)), f"'{rng.choice(NAMES)}.kvr'", f"'{rng.choice(NAMES)}'"])
    return f"global.{key}={value};"


def long_lines(rng, piece, target, shortest, longest):
    """Lines of shortest to longest bytes made of pieces, LF or CR LF ended."""
    chunks, size = [], 0
    while size < target:
        length = rng.randint(shortest, longest)
        line = ""
        while len(line) < length:
            line += piece(rng)
        chunk = line[:length].encode() + rng.choice([b"\r\n", b"\n"])
        chunks.append(chunk)
        size += len(chunk)
    return b"".join(chunks)[:target]


def main():
    kind, path, amount = sys.argv[1], sys.argv[2], int(sys.argv[3])
    shortest, longest = (int(sys.argv[4]), int(sys.argv[5])) if len(sys.argv) > 5 else (200, 2000)
    rng = random.Random(20261207)
    pool = preset_pool(rng)
    if kind == "huge":
        with open(path, "wb") as out:
            block = 1 << 20
            for _ in range(amount):
                out.write(preset_bytes(rng, pool, block))
    elif kind in ("plain", "dense"):
        piece = plain_piece if kind == "plain" else dense_piece
        with open(path, "wb") as out:
            for _ in range(amount):
                out.write(long_lines(rng, piece, 1 << 20, shortest, longest))
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
