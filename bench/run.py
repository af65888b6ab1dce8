#!/usr/bin/env python3
"""Whole-run benchmark of the converter beside tr and cp on the same bytes.

Generates its workloads (seeded), runs the converter and the reference
commands alternately, and prints medians, ratios and peak memory:

  huge     one 256 MiB preset file      wall time beside tr '\\0' '\\n'  (target 1.25x)
  nuls     64 MiB of NUL bytes           wall time beside tr               (target 3x)
  library  5,000 presets of about 1 KB   CPU time beside cp convert/* Converted/  (target 1.05x)
  rerun    the library converted again, replacing its 5,000 older outputs
                                         wall time beside the first run        (target 1.3x)

and the converter's peak resident memory (target: at most 16 MiB).

With --scaling it also times 1, 4, 16, 64 and 256 MiB files, writes
scaling.csv and, where gnuplot is installed, scaling.png.
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
PEAK_TARGET = 16 * MIB


# The peak that wait4 reports for a child counts the image of this Python
# process that the child was forked from; GNU time forks the command from a
# small process of its own and reports the command's own peak.
GNU_TIME = "/usr/bin/time" if os.path.exists("/usr/bin/time") else None


def run_measured(command, cwd, stdin=None, stdout=None):
    """Runs a command; returns (wall seconds, cpu seconds, peak RSS bytes)."""
    peak_file = os.path.join(cwd, ".peak")
    if GNU_TIME and not isinstance(command, str):
        command = [GNU_TIME, "-f", "%M", "-o", peak_file] + command
    # Every run starts with no dirty pages of an earlier one pending, on a
    # file system that has settled: right after the previous run's files are
    # deleted, creating 5,000 files costs anywhere from 0.7 to 1.6 s of system
    # time on the same machine; a second's pause makes it steady for both tools.
    os.sync()
    time.sleep(SETTLE_SECONDS)
    start = time.perf_counter()
    process = subprocess.Popen(command, cwd=cwd, stdin=stdin or subprocess.DEVNULL,
                               stdout=stdout or subprocess.DEVNULL, shell=isinstance(command, str))
    _, status, usage = os.wait4(process.pid, 0)
    wall = time.perf_counter() - start
    if os.waitstatus_to_exitcode(status) != 0:
        sys.exit(f"{command} failed with status {status}")
    peak = usage.ru_maxrss * 1024
    if os.path.exists(peak_file):
        with open(peak_file) as measured:
            peak = int(measured.read().split()[-1]) * 1024
        os.remove(peak_file)
    return wall, usage.ru_utime + usage.ru_stime, peak


def generate(kind, path, amount):
    if not os.path.exists(path):
        subprocess.run([sys.executable, os.path.join(HERE, "generate.py"), kind, path, str(amount)], check=True)


def fresh_workspace(folder):
    shutil.rmtree(os.path.join(folder, "Converted"), ignore_errors=True)
    os.makedirs(os.path.join(folder, "Converted"))


def fresh_output(path):
    if os.path.exists(path):
        os.remove(path)


def largest_output(folder):
    converted = os.path.join(folder, "Converted")
    return max((os.path.getsize(os.path.join(converted, name)) for name in os.listdir(converted)), default=0)


def single_file(workdir, name, kind, mib):
    folder = os.path.join(workdir, name)
    os.makedirs(os.path.join(folder, "convert"), exist_ok=True)
    generate(kind, os.path.join(folder, "convert", f"{name}.kvr"), mib)
    return folder


def compare_with_tr(converter, folder, runs):
    source = os.path.join(folder, "convert", os.listdir(os.path.join(folder, "convert"))[0])
    tool, reference, peaks = [], [], []
    for _ in range(runs):
        fresh_workspace(folder)
        wall, _, peak = run_measured([converter], folder)
        tool.append(wall)
        peaks.append(peak)
        fresh_output(os.path.join(folder, "tr.out"))
        with open(source, "rb") as src, open(os.path.join(folder, "tr.out"), "wb") as dst:
            reference.append(run_measured(["tr", "\\0", "\\n"], folder, stdin=src, stdout=dst)[0])
    os.remove(os.path.join(folder, "tr.out"))
    return statistics.median(tool), statistics.median(reference), max(peaks), largest_output(folder)


def compare_with_cp(converter, folder, runs):
    tool, reference, peaks = [], [], []
    for _ in range(runs):
        fresh_workspace(folder)
        _, cpu, peak = run_measured([converter], folder)
        tool.append(cpu)
        peaks.append(peak)
        size = largest_output(folder)
        fresh_workspace(folder)
        reference.append(run_measured("cp convert/* Converted/", folder)[1])
    return statistics.median(tool), statistics.median(reference), max(peaks), size


def compare_rerun_with_first_run(converter, folder, runs):
    """Wall time of a run that replaces every older output (each made durable
    before it takes the older one's place) beside a first run into an empty
    Converted/."""
    rerun, first, peaks = [], [], []
    for _ in range(runs):
        fresh_workspace(folder)
        first.append(run_measured([converter], folder)[0])
        wall, _, peak = run_measured([converter], folder)
        rerun.append(wall)
        peaks.append(peak)
    return statistics.median(rerun), statistics.median(first), max(peaks), largest_output(folder)


def scaling(converter, workdir, sizes, runs):
    rows = []
    for mib in sizes:
        folder = single_file(workdir, f"scale{mib}", "huge", mib)
        source = os.path.join(folder, "convert", f"scale{mib}.kvr")
        times = {"converter": [], "tr": [], "cp": []}
        for _ in range(runs):
            fresh_workspace(folder)
            times["converter"].append(run_measured([converter], folder)[0])
            fresh_output(os.path.join(folder, "ref.out"))
            with open(source, "rb") as src, open(os.path.join(folder, "ref.out"), "wb") as dst:
                times["tr"].append(run_measured(["tr", "\\0", "\\n"], folder, stdin=src, stdout=dst)[0])
            fresh_output(os.path.join(folder, "ref.out"))
            times["cp"].append(run_measured(["cp", source, os.path.join(folder, "ref.out")], folder)[0])
        rows.append([mib] + [round(statistics.median(times[k]), 4) for k in ("converter", "tr", "cp")])
        print(f"  {mib:4d} MiB  converter {rows[-1][1]:.3f} s  tr {rows[-1][2]:.3f} s  cp {rows[-1][3]:.3f} s")
        shutil.rmtree(folder)
    csv_path = os.path.join(workdir, "scaling.csv")
    with open(csv_path, "w", newline="") as out:
        writer = csv.writer(out)
        writer.writerow(["mib", "converter_s", "tr_s", "cp_s"])
        writer.writerows(rows)
    print(f"wrote {csv_path}")
    if shutil.which("gnuplot"):
        png = os.path.join(workdir, "scaling.png")
        script = f"""set terminal png size 800,500
set output '{png}'
set datafile separator ','
set key top left
set logscale xy
set xlabel 'input size (MiB)'
set ylabel 'seconds (median)'
set title 'Converter beside tr and cp'
plot '{csv_path}' every ::1 using 1:2 with linespoints title 'converter', \\
     '' every ::1 using 1:3 with linespoints title 'tr', \\
     '' every ::1 using 1:4 with linespoints title 'cp'
"""
        subprocess.run(["gnuplot"], input=script.encode(), check=True)
        print(f"wrote {png}")


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--converter", default=os.path.join(HERE, "..", "build", "release", "BrushPreset_Convertion"))
    parser.add_argument("--workdir", default=os.path.join(HERE, "..", "build", "bench"))
    parser.add_argument("--runs", type=int, default=5)
    parser.add_argument("--only", choices=["huge", "nuls", "library", "rerun"], action="append")
    parser.add_argument("--scaling", action="store_true")
    args = parser.parse_args()
    converter = os.path.abspath(args.converter)
    workdir = os.path.abspath(args.workdir)
    os.makedirs(workdir, exist_ok=True)

    rows = []
    selected = args.only or ["huge", "nuls", "library", "rerun"]
    if "huge" in selected:
        folder = single_file(workdir, "huge", "huge", 256)
        rows.append(("huge: 256 MiB of presets", "wall vs tr", 1.25, 1.5) + compare_with_tr(converter, folder, args.runs))
    if "nuls" in selected:
        folder = single_file(workdir, "nuls", "nuls", 64)
        rows.append(("nuls: 64 MiB of NUL", "wall vs tr", 3.0, 6.0) + compare_with_tr(converter, folder, args.runs))
    if "library" in selected:
        folder = os.path.join(workdir, "library")
        generate("library", os.path.join(folder, "convert"), 5000)
        rows.append(("library: 5,000 x 1 KB", "CPU vs cp", 1.05, 1.2) + compare_with_cp(converter, folder, args.runs))
    if "rerun" in selected:
        folder = os.path.join(workdir, "library")
        generate("library", os.path.join(folder, "convert"), 5000)
        rows.append(("rerun: 5,000 replaced", "wall vs 1st", 1.3, 1.5)
                    + compare_rerun_with_first_run(converter, folder, args.runs))

    print(f"\n{'workload':26} {'figure':11} {'converter':>10} {'reference':>10} {'ratio':>7} {'target':>7} "
          f"{'peak RSS':>10} {'largest output':>15}")
    for name, figure, target, acceptable, tool, reference, peak, output in rows:
        ratio = tool / reference if reference > 0 else float("inf")
        verdict = "ok" if ratio <= target else ("acceptable" if ratio <= acceptable else "OVER")
        memory = "ok" if peak <= PEAK_TARGET else "OVER"
        print(f"{name:26} {figure:11} {tool:9.3f}s {reference:9.3f}s {ratio:6.2f}x {target:6.2f}x "
              f"{peak / MIB:7.1f} MiB {output / MIB:10.1f} MiB  {verdict}, memory {memory}")
    print(f"peak RSS: the converter's peak resident memory; target at most {PEAK_TARGET // MIB} MiB whatever the size"
          + ("" if GNU_TIME else " (without /usr/bin/time, it includes the image of this script)"))

    if args.scaling:
        print("\nscaling (medians):")
        scaling(converter, workdir, [1, 4, 16, 64, 256], args.runs)


if __name__ == "__main__":
    main()
