#!/usr/bin/env python3
"""Mutation checks: does the suite notice a small deliberate fault?

Each mutant of the catalogue (tests/mutation/mutants.toml) is one exact text
replacement in one file. The mutants are applied one at a time to a scratch
copy of the tree (never to the working tree), which is built incrementally in
one reused build folder; then the suite runs with a time limit. A mutant that
makes a test fail, or the run time out, is killed; one that passes survives.

Prints the score (killed / compiled, the mutants marked equivalent left out),
the survivors, the mutants that did not build, and the stale ones: a mutant
whose old text is no longer in its file, or is there more than once, says
that the catalogue must follow a change of the code.

Exit status: 0 when every mutant ran and the score reaches --min-score, 1
when it does not or a mutant is stale, 2 when the unmutated tree does not
build or pass.
"""

import argparse
import filecmp
import os
import shutil
import signal
import subprocess
import sys
import time
import tomllib
from dataclasses import dataclass, field
from pathlib import Path

ROOT = Path(__file__).resolve().parents[2]
CATALOGUE = Path(__file__).resolve().parent / "mutants.toml"

# The slowest cases (the 1 GiB stream, the thousand whole files on every
# path, the blocks written twice) run last, for the mutants that the rest of
# the suite let through: most mutants are killed in seconds.
SLOW_TESTS = "Streaming.*:ConvertedFiles.*:*ABlockOfLinesGivesTheBytesOfLineByLineInWholePages*"

KEYS = {"concern", "what", "file", "old", "new", "equivalent"}


@dataclass
class Mutant:
    number: int
    concern: str
    what: str
    file: str
    old: str
    new: str
    equivalent: str = ""
    outcome: str = ""  # killed, survived, timeout, no-build, stale
    detail: str = ""
    seconds: float = 0.0


@dataclass
class Tally:
    killed: int = 0
    total: int = 0
    names: list = field(default_factory=list)


def LoadCatalogue(path):
    with open(path, "rb") as file:
        data = tomllib.load(file)
    mutants = []
    for number, entry in enumerate(data.get("mutant", []), start=1):
        unknown = set(entry) - KEYS
        missing = {"concern", "what", "file", "old", "new"} - set(entry)
        if unknown or missing:
            sys.exit(f"{path}: mutant {number}: unknown keys {sorted(unknown)}, missing keys {sorted(missing)}")
        if entry["old"] == entry["new"]:
            sys.exit(f"{path}: mutant {number}: the new text is the old text")
        mutants.append(Mutant(number=number, **entry))
    return mutants


def SourceFiles():
    """Tracked files and untracked ones not ignored: the tree as it is now."""
    listed = subprocess.run(["git", "ls-files", "-z", "--cached", "--others", "--exclude-standard"],
                            cwd=ROOT, check=True, capture_output=True).stdout
    return [name for name in listed.decode().split("\0") if name and (ROOT / name).is_file()]


def SyncCopy(source):
    """Makes `source` a copy of the tree, touching only the files that differ,
    so that the build folder beside it rebuilds only what changed."""
    wanted = set(SourceFiles())
    for name in sorted(wanted):
        target = source / name
        if target.is_file() and filecmp.cmp(ROOT / name, target, shallow=False):
            continue
        target.parent.mkdir(parents=True, exist_ok=True)
        shutil.copy2(ROOT / name, target)
        os.utime(target)  # newer than any object built from an older copy
    for path in sorted(source.rglob("*"), reverse=True):
        relative = path.relative_to(source).as_posix()
        if path.is_file() and relative not in wanted:
            path.unlink()
        elif path.is_dir() and not any(path.iterdir()):
            path.rmdir()


def CheckFresh(mutants, source):
    for mutant in mutants:
        path = source / mutant.file
        text = path.read_bytes() if path.is_file() else None
        count = 0 if text is None else text.count(mutant.old.encode())
        if count != 1:
            mutant.outcome = "stale"
            mutant.detail = ("no such file" if text is None else
                             "old text not found" if count == 0 else f"old text found {count} times")


def Nice(command):
    return ["nice", "-n", "10"] + command


def Build(build, jobs):
    result = subprocess.run(Nice(["cmake", "--build", str(build), "--target", "brush_tests", "-j", str(jobs)]),
                            capture_output=True, encoding="utf-8", errors="replace")
    return result.returncode == 0, result.stdout + result.stderr


def RunSuite(build, filters, timeout):
    """(outcome, detail): passed, failed (with the first failing test) or
    timeout. The filters run one after the other, until one fails."""
    deadline = time.monotonic() + timeout
    for gtest_filter in filters:
        outcome, detail = RunTests(build, gtest_filter, deadline - time.monotonic())
        if outcome != "passed":
            return outcome, detail
    return "passed", ""


def RunTests(build, gtest_filter, timeout):
    if timeout <= 0:
        return "timeout", "out of time"
    command = Nice([str(build / "tests" / "brush_tests"), "--gtest_fail_fast", "--gtest_brief=1",
                    "--gtest_filter=" + gtest_filter])
    # The tests print file names and messages of any bytes.
    process = subprocess.Popen(command, stdout=subprocess.PIPE, stderr=subprocess.STDOUT, encoding="utf-8",
                               errors="replace", start_new_session=True, cwd=build)
    try:
        output, _ = process.communicate(timeout=timeout)
    except subprocess.TimeoutExpired:
        os.killpg(process.pid, signal.SIGKILL)
        process.communicate()
        return "timeout", "still running at the time limit"
    if process.returncode == 0:
        return "passed", ""
    for line in output.splitlines():
        if line.startswith("[  FAILED  ]"):
            return "failed", line[len("[  FAILED  ]"):].strip()
    return "failed", f"exit status {process.returncode}"


def Configure(source, build):
    if (build / "CMakeCache.txt").is_file():
        return
    # Optimised like the default build but without link-time optimisation,
    # which would make every relink slow; warnings stay warnings, so that a
    # mutant is judged by the tests, not by the compiler's style checks.
    subprocess.run(Nice(["cmake", "-S", str(source), "-B", str(build), "-G", "Ninja",
                         "-DCMAKE_BUILD_TYPE=", "-DCMAKE_CXX_FLAGS=-O2 -g0",
                         "-DCMAKE_COMPILE_WARNING_AS_ERROR=OFF", "-DBRUSH_WINDOWS_TESTS=OFF"]),
                   check=True, stdout=subprocess.DEVNULL)


def Report(mutants, min_score):
    by_concern = {}
    for mutant in mutants:
        if mutant.outcome in ("killed", "timeout", "survived") and not mutant.equivalent:
            tally = by_concern.setdefault(mutant.concern, Tally())
            tally.total += 1
            tally.killed += mutant.outcome != "survived"
    print("\n== mutation score by concern")
    killed = total = 0
    for concern, tally in by_concern.items():
        print(f"  {concern:<14} {tally.killed:>3} / {tally.total}")
        killed += tally.killed
        total += tally.total
    score = 100.0 * killed / total if total else 0.0
    print(f"  {'all':<14} {killed:>3} / {total}  ({score:.1f}% killed)")

    def List(title, chosen):
        if chosen:
            print(f"\n== {title}")
            for mutant in chosen:
                print(f"  #{mutant.number} [{mutant.concern}] {mutant.what}  ({mutant.file})")
                if mutant.detail:
                    print(f"      {mutant.detail}")

    List("survivors", [m for m in mutants if m.outcome == "survived" and not m.equivalent])
    List("killed by the time limit", [m for m in mutants if m.outcome == "timeout"])
    List("did not build (not counted)", [m for m in mutants if m.outcome == "no-build"])
    for mutant in mutants:
        if mutant.equivalent:
            mutant.detail = f"equivalent: {mutant.equivalent}" + (
                f"; yet {mutant.outcome}: check the mark" if mutant.outcome in ("killed", "timeout") else "")
    List("marked equivalent (not counted)", [m for m in mutants if m.equivalent and m.outcome != "stale"])
    stale = [m for m in mutants if m.outcome == "stale"]
    List("stale: the catalogue must follow the code", stale)
    return 0 if score >= min_score and not stale else 1


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--catalogue", type=Path, default=CATALOGUE)
    parser.add_argument("--work", type=Path, default=ROOT / "build" / "mutation",
                        help="scratch copy and build folder, kept between runs (default: build/mutation)")
    parser.add_argument("--filter", default="",
                        help="GoogleTest filter of the tests run for each mutant (default: the whole suite, "
                             "its slowest tests last)")
    parser.add_argument("--quick", action="store_true", help="leave out the slowest tests")
    parser.add_argument("--timeout", type=float, default=0,
                        help="seconds per mutant's run (default: 3 times the unmutated run, at least 60)")
    parser.add_argument("--only", default="",
                        help="run only the mutants whose concern or file holds this text, or the mutant of this number")
    parser.add_argument("--from", dest="first", type=int, default=1,
                        help="start at the mutant of this number (to go on after an interrupted run)")
    parser.add_argument("--jobs", type=int, default=2)
    parser.add_argument("--min-score", type=float, default=0, help="fail below this share killed, in percent")
    parser.add_argument("--check", action="store_true", help="only report stale mutants; build nothing")
    args = parser.parse_args()

    mutants = LoadCatalogue(args.catalogue)
    mutants = [m for m in mutants if m.number >= args.first]
    if args.only:
        mutants = [m for m in mutants if args.only in (m.concern, m.file, str(m.number)) or
                   args.only in m.concern or args.only in m.file]
    CheckFresh(mutants, ROOT)
    if args.check:
        return Report(mutants, 0)
    # The suite runs inside the build folder: a relative --work would name
    # another place there.
    work = args.work.resolve()
    source, build = work / "src", work / "build"
    source.mkdir(parents=True, exist_ok=True)
    SyncCopy(source)

    filters = [args.filter] if args.filter else ["-" + SLOW_TESTS] + ([] if args.quick else [SLOW_TESTS])
    Configure(source, build)
    built, log = Build(build, args.jobs)
    if not built:
        print(log)
        print("the unmutated tree does not build")
        return 2
    start = time.monotonic()
    outcome, detail = RunSuite(build, filters, 3600)
    baseline = time.monotonic() - start
    if outcome != "passed":
        print(f"the unmutated tree does not pass: {detail}")
        return 2
    timeout = args.timeout or max(60.0, 3 * baseline)
    live = [m for m in mutants if m.outcome != "stale"]
    print(f"unmutated suite: {baseline:.0f} s; {len(live)} mutants, {timeout:.0f} s each at most")

    for index, mutant in enumerate(live, start=1):
        path = source / mutant.file
        original = path.read_bytes()
        started = time.monotonic()
        try:
            path.write_bytes(original.replace(mutant.old.encode(), mutant.new.encode(), 1))
            built, log = Build(build, args.jobs)
            if not built:
                mutant.outcome = "no-build"
                errors = [line for line in log.splitlines() if "error" in line]
                mutant.detail = errors[0].strip() if errors else ""
            else:
                result, mutant.detail = RunSuite(build, filters, timeout)
                mutant.outcome = {"passed": "survived", "failed": "killed", "timeout": "timeout"}[result]
        finally:
            path.write_bytes(original)
            os.utime(path)
        mutant.seconds = time.monotonic() - started
        print(f"[{index}/{len(live)}] #{mutant.number} {mutant.outcome:<9} {mutant.seconds:5.0f} s  "
              f"[{mutant.concern}] {mutant.what}" + (f"  <- {mutant.detail}" if mutant.outcome == "killed" else ""),
              flush=True)
    return Report(mutants, args.min_score)


if __name__ == "__main__":
    sys.exit(main())
