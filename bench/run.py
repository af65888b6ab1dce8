#!/usr/bin/env python3
"""Whole-run benchmark of the converter beside tr and cp on the same bytes.

Generates its workloads (seeded), runs the converter and the reference
commands alternately, and prints medians, ratios and peak memory. The
workloads are the rows of WORKLOADS:

  short    256 MiB of short preset lines      wall time beside tr '\\0' '\\n'  (target 1.25x)
  plain    128 MiB of 200-2,000-byte lines no rule acts on          (target 1.5x)
  dense    128 MiB of 200-2,000-byte lines dense with rule texts    (target 1.5x)
  nuls     64 MiB of NUL bytes                                       (target 1.5x)
  library  5,000 presets of about 1 KB   CPU time beside cp convert/* Converted/  (target 1.0x)
  rerun    the library converted again, over its 5,000 older outputs
                                         wall time beside the first run        (target 1.3x)

and the converter's peak resident memory (target: under 8 MiB).

By default it times the release build's program. To hold two builds side by
side in one run, name each: --converter before=PATH --converter now=PATH
(runs alternate between them), and give one an environment of its own with
--converter-env before=NAME=VALUE.

With --scaling it also times 1 to 256 MiB files of short lines and 32 MiB
files of dense lines from 16 bytes to 64 KiB long, writes scaling.csv and,
where gnuplot is installed, scaling.png.
"""
import argparse
import csv
import os
import shutil
import statistics
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
MIB = 1 << 20
SETTLE_SECONDS = 1.0
# Lines stream from input to output: memory holds a few buffers and the
# longest line, whatever the file's size.
PEAK_TARGET = 8 * MIB

# name, generator kind, amount (MiB, or files for the library), reference,
# target ratio, description. A workload is a row here and nowhere else.
WORKLOADS = [
    ("short", "huge", 256, "tr", 1.25, "256 MiB of short preset lines"),
    ("plain", "plain", 128, "tr", 1.5, "128 MiB of long plain lines"),
    ("dense", "dense", 128, "tr", 1.5, "128 MiB of long rule-dense lines"),
    ("nuls", "nuls", 64, "tr", 1.5, "64 MiB of NUL bytes"),
    ("library", "library", 5000, "cp", 1.0, "5,000 presets of 1 KB"),
    ("rerun", "library", 5000, "first", 1.3, "over its 5,000 older outputs"),
]


# The peak that wait4 reports for a child counts the image of this Python
# process that the child was forked from; GNU time forks the command from a
# small process of its own and reports the command's own peak.
GNU_TIME = "/usr/bin/time" if os.path.exists("/usr/bin/time") else None


def run_measured(command, cwd, stdin=None, stdout=None, env=None):
    """Runs a command; returns (wall seconds, cpu seconds, peak RSS bytes,
    (user seconds, system seconds))."""
    peak_file = os.path.join(cwd, ".peak")
    if GNU_TIME and not isinstance(command, str):
        command = [GNU_TIME, "-f", "%M", "-o", peak_file] + command
    # Every run starts with no dirty pages of an earlier one pending, on a
    # file system that has settled.
    os.sync()
    time.sleep(SETTLE_SECONDS)
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stdin=stdin or subprocess.DEVNULL,
                               stdout=stdout or subprocess.DEVNULL, shell=isinstance(command, str),
                               env=dict(os.environ, **(env or {})))
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command} failed with status {status}")
    peak = usage.ru_maxrss * 1024
    if os.path.exists(peak_file):
        with open(peak_file) as measured:
            peak = int(measured.read().split()[-1]) * 1024
        os.remove(peak_file)
    return wall, usage.ru_utime + usage.ru_stime, peak, (usage.ru_utime, usage.ru_stime)


def generate(kind, path, amount, *lengths):
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), kind, path, str(amount)]
                       + [str(length) for length in lengths], check=True)


# The library's earlier outputs are moved here, and deleted only once
# everything is timed. Deleted between runs, they would be timed instead of
# the tools: ext4
# without a journal (this machine's) will not reuse an inode freed in the
# last minute, or the last six while its block is being written to, and
# scans past every such one for each file it creates. Right after 5,000
# deletions that scan was 95% of both tools' CPU time, and made any
# difference between them look twenty times smaller than it is. So the
# library is timed only six minutes after this script last deleted its
# outputs (noted in the work folder); wait as long after deleting many
# files yourself. (The single files are deleted: kept, they would fill the
# page cache, and every later run would pay for reclaiming it.)
TRASH = None
INODES_REUSED_AFTER = 365  # seconds


def empty_trash():
    if os.path.exists(TRASH):
        shutil.rmtree(TRASH)
        with open(TRASH + "-emptied", "w") as note:
            note.write(str(time.time()))


def wait_until(ready, what):
    if time.time() < ready:
        print(f"  waiting {ready - time.time():.0f} s for {what}", flush=True)
        time.sleep(ready - time.time())


def wait_for_inodes():
    try:
        with open(TRASH + "-emptied") as note:
            ready = float(note.read()) + INODES_REUSED_AFTER
    except (OSError, ValueError):
        return
    wait_until(ready, "the inodes freed earlier to be reused")


# A preset changed in the last minute may still be being written: the
# converter waits for any write under way before reading it, which costs
# each preset two system calls more (about 2% of the library's CPU time).
# A user's library is at rest, so the library is timed once it is (a
# freshly generated one after a minute): timed fresh the first time and at
# rest after, its figure would not compare from one run to the next.
AT_REST_AFTER = 61  # seconds


def wait_until_at_rest(folder):
    changed = max(os.stat(entry.path).st_ctime for entry in os.scandir(folder))
    wait_until(changed + AT_REST_AFTER, "the presets to be at rest")


def fresh_workspace(folder, aside):
    converted = os.path.join(folder, "Converted")
    if not aside:
        shutil.rmtree(converted, ignore_errors=True)
    elif os.path.exists(converted):
        os.makedirs(TRASH, exist_ok=True)
        os.rename(converted, os.path.join(TRASH, str(len(os.listdir(TRASH)))))
    os.makedirs(converted)


def fresh_output(path):
    if os.path.exists(path):
        os.remove(path)


def largest_output(folder):
    converted = os.path.join(folder, "Converted")
    return max((os.path.getsize(os.path.join(converted, name)) for name in os.listdir(converted)), default=0)


def single_file(workdir, name, kind, mib, *lengths):
    folder = os.path.join(workdir, name)
    os.makedirs(os.path.join(folder, "convert"), exist_ok=True)
    generate(kind, os.path.join(folder, "convert", f"{name}.kvr"), mib, *lengths)
    return folder


def compare(converters, folder, reference, runs):
    """Medians of each converter ({label: (path, environment)}) and the
    reference, run in turn: wall time beside tr, CPU time beside cp, and for "first" the wall
    time of a second run (each older output replaced, made durable before it
    takes the older one's place) beside the first run into an empty
    Converted/. Returns ({label: median}, reference median, {label: peak}, largest
    output, {label, or ("reference", what it is): (median user, median system
    seconds)})."""
    source_folder = os.path.join(folder, "convert")
    source = os.path.join(source_folder, sorted(os.listdir(source_folder))[0])
    tool = {label: [] for label in converters}
    reference_times, size = [], 0
    peaks = {label: [] for label in converters}
    split = {label: [] for label in converters}
    figure = 1 if reference == "cp" else 0
    for _ in range(runs):
        for label, (path, env) in converters.items():
            fresh_workspace(folder, reference != "tr")
            if reference == "first":
                first = run_measured([path], folder, env=env)
                reference_times.append(first[0])
                split.setdefault(("reference", f"{label} 1st run"), []).append(first[3])
            measured = run_measured([path], folder, env=env)
            tool[label].append(measured[figure])
            split[label].append(measured[3])
            peaks[label].append(measured[2])
            size = largest_output(folder)
        if reference == "tr":
            fresh_output(os.path.join(folder, "tr.out"))
            with open(source, "rb") as src, open(os.path.join(folder, "tr.out"), "wb") as dst:
                measured = run_measured(["tr", "\\0", "\\n"], folder, stdin=src, stdout=dst)
            reference_times.append(measured[0])
            split.setdefault(("reference", "tr"), []).append(measured[3])
        elif reference == "cp":
            fresh_workspace(folder, True)
            measured = run_measured("cp convert/* Converted/", folder)
            reference_times.append(measured[1])
            split.setdefault(("reference", "cp"), []).append(measured[3])
    fresh_output(os.path.join(folder, "tr.out"))
    medians = {key: tuple(statistics.median(pair[i] for pair in pairs) for i in (0, 1))
               for key, pairs in split.items()}
    return ({label: statistics.median(times) for label, times in tool.items()}, statistics.median(reference_times),
            {label: max(each) for label, each in peaks.items()}, size, medians)


def scaling(converter, env, workdir, runs):
    """Seconds against input size (short lines) and against line length
    (dense lines, 32 MiB), medians of alternating runs."""
    series = [("size", mib, "huge", mib, ()) for mib in (1, 4, 16, 64, 256)]
    series += [("line", length, "dense", 32, (length, length)) for length in (16, 64, 256, 1024, 4096, 16384, 65536)]
    rows = []
    for name, x, kind, mib, lengths in series:
        folder = single_file(workdir, f"scale-{name}{x}", kind, mib, *lengths)
        source = os.path.join(folder, "convert", os.listdir(os.path.join(folder, "convert"))[0])
        times = {"converter": [], "tr": [], "cp": []}
        for _ in range(runs):
            fresh_workspace(folder, False)
            times["converter"].append(run_measured([converter], folder, env=env)[0])
            fresh_output(os.path.join(folder, "ref.out"))
            with open(source, "rb") as src, open(os.path.join(folder, "ref.out"), "wb") as dst:
                times["tr"].append(run_measured(["tr", "\\0", "\\n"], folder, stdin=src, stdout=dst)[0])
            fresh_output(os.path.join(folder, "ref.out"))
            times["cp"].append(run_measured(["cp", source, os.path.join(folder, "ref.out")], folder)[0])
        rows.append([name, x] + [round(statistics.median(times[k]), 4) for k in ("converter", "tr", "cp")])
        print(f"  {name} {x:6d}  converter {rows[-1][2]:.3f} s  tr {rows[-1][3]:.3f} s  cp {rows[-1][4]:.3f} s")
        shutil.rmtree(folder)
    csv_path = os.path.join(workdir, "scaling.csv")
    with open(csv_path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["series", "x", "converter_s", "tr_s", "cp_s"])
        writer.writerows(rows)
    print(f"wrote {csv_path}")
    if shutil.which("gnuplot"):
        plot_scaling(csv_path, os.path.join(workdir, "scaling.png"))


def plot_scaling(csv_path, png):
    """Draws scaling.png from the sweep's scaling.csv."""
    script = f"""set terminal png size 1100,480
set output '{png}'
set datafile separator ','
set multiplot layout 1,2
set key top left
set logscale xy
set xlabel 'input size (MiB), short preset lines'
set ylabel 'seconds (median)'
set title 'Converter beside tr and cp'
plot '{csv_path}' using (strcol(1) eq "size" ? $2 : 1/0):3 with linespoints title 'converter', \\
     '' using (strcol(1) eq "size" ? $2 : 1/0):4 with linespoints title 'tr', \\
     '' using (strcol(1) eq "size" ? $2 : 1/0):5 with linespoints title 'cp'
unset logscale y
set yrange [0:*]
set xlabel 'line length (bytes), 32 MiB of rule-dense lines'
set ylabel 'wall time / tr'
set title 'Line-length sweep'
plot '{csv_path}' using (strcol(1) eq "line" ? $2 : 1/0):($3/$4) with linespoints title 'converter', \\
     1.5 with lines dashtype 2 title 'target 1.5x'
unset multiplot
"""
    subprocess.run(["gnuplot"], input=script.encode(), check=True)
    print(f"wrote {png}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--converter", action="append", metavar="[LABEL=]PATH",
                        help="a build to time (repeatable; default: the release build's program)")
    parser.add_argument("--converter-env", action="append", default=[], metavar="LABEL=NAME=VALUE",
                        help="an environment variable set for that converter's runs alone")
    parser.add_argument("--workdir", default=os.path.join(HERE, "..", "build", "bench"))
    parser.add_argument("--runs", type=int, default=7)
    parser.add_argument("--only", choices=[row[0] for row in WORKLOADS], action="append")
    parser.add_argument("--scaling", action="store_true")
    args = parser.parse_args()
    converters = {}
    for given in args.converter or [os.path.join(HERE, "..", "build", "release", "BrushPreset_Convertion")]:
        label, _, path = given.rpartition("=")
        converters[label or "converter"] = (os.path.abspath(path), {})
    for given in args.converter_env:
        label, name_value = given.split("=", 1)
        name, value = name_value.split("=", 1)
        converters[label][1][name] = value
    workdir = os.path.abspath(args.workdir)
    os.makedirs(workdir, exist_ok=True)
    global TRASH
    TRASH = os.path.join(workdir, "trash")
    empty_trash()

    rows = []
    for name, kind, amount, reference, target, description in WORKLOADS:
        if args.only and name not in args.only:
            continue
        if kind == "library":
            folder = os.path.join(workdir, name)
            generate(kind, os.path.join(folder, "convert"), amount)
            wait_for_inodes()
            wait_until_at_rest(os.path.join(folder, "convert"))
        else:
            folder = single_file(workdir, name, kind, amount)
        print(f"{name}: {description} ...", flush=True)
        rows.append((name, description, reference, target) + compare(converters, folder, reference, args.runs))

    print(f"\n{'workload':8} {'description':34} {'figure':12} {'build':>10} {'converter':>10} {'reference':>10} "
          f"{'ratio':>7} {'target':>7} {'peak RSS':>10}")
    for name, description, reference, target, tool, reference_time, peaks, _, _ in rows:
        figure = {"tr": "wall vs tr", "cp": "CPU vs cp", "first": "wall vs 1st"}[reference]
        for label, time_taken in tool.items():
            peak = peaks[label]
            ratio = time_taken / reference_time if reference_time > 0 else float("inf")
            verdict = "ok" if ratio <= target else "OVER"
            memory = "ok" if peak < PEAK_TARGET else "OVER"
            print(f"{name:8} {description:34} {figure:12} {label:>10} {time_taken:9.3f}s {reference_time:9.3f}s "
                  f"{ratio:6.2f}x {target:6.2f}x {peak / MIB:6.1f} MiB  {verdict}, memory {memory}")
    print(f"peak RSS: each build's peak resident memory, largest of its runs; target under "
          f"{PEAK_TARGET // MIB} MiB" + ("" if GNU_TIME else " (without /usr/bin/time, it includes this script)"))
    # Where each one's time goes: a wall-time ratio moves with the page
    # cache and the disk, the user time with the program's own work.
    print(f"\n{'workload':8} user + system seconds (medians)")
    for name, _, _, _, _, _, _, _, split in rows:
        print(f"{name:8} " + "  ".join(f"{key[1] if isinstance(key, tuple) else key}: {user:.3f} + {system:.3f}"
                                      for key, (user, system) in split.items()))

    if args.scaling:
        print("\nscaling (medians):")
        path, env = next(iter(converters.values()))
        scaling(path, env, workdir, args.runs)
    empty_trash()


if __name__ == "__main__":
    main()
