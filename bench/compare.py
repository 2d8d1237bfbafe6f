#!/usr/bin/env python3
"""Compares the program with the system's cp and with plain_loop, in one run, round by round.

Every round runs each command of a scenario once, in an order shuffled afresh each round (from a
fixed seed), so that neither a slow spell of a shared machine nor what ran just before falls on one
command more than on another. Each run is a child process timed by the wall clock and by its own
processor time (user + system, from wait4). Outputs are removed before each run, outside the
timing (on a disk, a batch's are moved aside until the end), and on a disk the removal is synced
first, so that no run pays for the one before. The first round only warms up and checks the
outputs; it is not counted.

Scenarios:
  tmpfs       SIZE MiB of random bytes in TMPFS: cp, plain_loop, `vyx_bench encrypt`, and for the
              encrypted file cp, plain_loop, `vyx_bench decrypt` and `vyx decrypt`.
  disk-large  one SIZE MiB encrypted file in DISK: `vyx decrypt` against cp + `sync -f` and
              plain_loop (which syncs its output).
  disk-batch  FILES encrypted files of FILE_KIB KiB in DISK: one `vyx decrypt` batch against cp of
              them all + `sync -f`.

Several builds run side by side: --build old=/path/to/old/build --build new=build/default gives
each program command once per build, alternating in every round. plain_loop comes from the first
build that has it, else from this tree's build/default.

Further commands (the window's own run, for one) join a scenario with
  --extra SCENARIO:NAME=COMMAND
where COMMAND may use {input}, {output}, {key}, {keyfile}, {encrypted} and {dir}; its output is
removed before each run like the others'. Its ratios are reported as for the built-in commands.

Prints, per command, the median of the wall times and of the processor times, the speed as a
ratio to cp (and to cp + sync) and to plain_loop (per round, then the median of the ratios), and
the processor time as a ratio to plain_loop's. --json FILE keeps every sample.
"""

import argparse
import json
import os
import random
import shlex
import shutil
import statistics
import subprocess
import sys
import tempfile
import time

DEFAULT_BUILD = os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "build", "default")


class Command:
    """One timed row: a sequence of argv lists run one after the other."""

    def __init__(self, name, steps, output, kind, plain=None):
        self.name = name
        self.steps = steps
        self.output = output  # a file or folder to empty before each run
        self.kind = kind  # "cp", "plain" or "program"
        self.plain = plain  # the name of the plain_loop row to compare with
        self.wall = []
        self.cpu = []
        self.user = []
        self.system = []


def run_timed(steps):
    wall = 0.0
    user = 0.0
    system = 0.0
    for argv in steps:
        start = time.perf_counter()
        child = subprocess.Popen(argv, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        _, status, usage = os.wait4(child.pid, 0)
        wall += time.perf_counter() - start
        child.returncode = os.waitstatus_to_exitcode(status)
        if child.returncode != 0:
            raise SystemExit("compare: %s failed with status %d" % (shlex.join(argv), child.returncode))
        user += usage.ru_utime
        system += usage.ru_stime
    return wall, user, system


def remove_output(path, on_disk, work=None):
    """Clears the way for a run's output. On a disk the old outputs of a batch are moved into a
    folder of the work area that is removed at the end, not deleted now: ext4 without a journal passes over
    inodes freed moments before each time it makes a file, reading every one of them, so a batch
    made just after thousands of deletions pays far more than one made at another time, and which
    command came after whose deletions would decide the figures."""
    if path is None:
        return
    paths = path if isinstance(path, list) else (
        [os.path.join(path, name) for name in os.listdir(path)] if os.path.isdir(path) else [path])
    trash = None
    if work is not None and len(paths) > 1:
        trash = tempfile.mkdtemp(prefix=".old-", dir=work)
    for p in paths:
        if os.path.exists(p):
            if trash is not None:
                os.rename(p, os.path.join(trash, os.path.basename(p)))
            else:
                os.remove(p)
    if on_disk:
        target = path[0] if isinstance(path, list) and path else path
        if isinstance(target, str):
            subprocess.run(["sync", "-f", os.path.dirname(target) or "."], check=False)


def make_random_file(path, mib):
    with open("/dev/urandom", "rb") as source, open(path, "wb") as sink:
        for _ in range(mib):
            sink.write(source.read(1 << 20))


def find_tool(builds, relative):
    """The tool from the first build that has it, else from this tree's own default build."""
    for _, build in builds + [("default", DEFAULT_BUILD)]:
        candidate = os.path.join(build, relative)
        if os.access(candidate, os.X_OK):
            return candidate
    raise SystemExit("compare: no build has %s" % relative)


def same_file(a, b):
    return subprocess.run(["cmp", "-s", a, b]).returncode == 0


def tmpfs_scenario(args, builds, work):
    plain_loop = find_tool(builds, "bench/plain_loop")
    vyx = find_tool(builds, "cli/vyx")
    key = subprocess.run([vyx, "genkey"], capture_output=True, text=True, check=True).stdout.strip()
    keyfile = os.path.join(work, "key.txt")
    with open(keyfile, "w") as f:
        f.write(key + "\n")
    plain = os.path.join(work, "plain.bin")
    encrypted = os.path.join(work, "plain_encr.bin")
    out = os.path.join(work, "out.bin")
    make_random_file(plain, args.size)
    subprocess.run([plain_loop, "encrypt", key, plain, encrypted], check=True)
    rows = [
        Command("cp (plain)", [["cp", plain, out]], out, "cp"),
        Command("plain_loop encrypt", [[plain_loop, "encrypt", key, plain, out]], out, "plain"),
        Command("cp (encrypted)", [["cp", encrypted, out]], out, "cp"),
        Command("plain_loop decrypt", [[plain_loop, "decrypt", key, encrypted, out]], out, "plain"),
    ]
    for name, build in builds:
        bench = os.path.join(build, "bench", "vyx_bench")
        cli = os.path.join(build, "cli", "vyx")
        rows.append(Command("%s vyx_bench encrypt" % name, [[bench, "encrypt", key, plain, out]],
                            out, "program", "plain_loop encrypt"))
        rows.append(Command("%s vyx_bench decrypt" % name,
                            [[bench, "decrypt", key, encrypted, out]], out, "program",
                            "plain_loop decrypt"))
        rows.append(Command("%s vyx decrypt" % name,
                            [[cli, "decrypt", "-q", "-k", keyfile, "-o", out, encrypted]], out,
                            "program", "plain_loop decrypt"))
    checks = {"encrypt": encrypted, "decrypt": plain}
    values = dict(input=plain, output=out, key=key, keyfile=keyfile, encrypted=encrypted, dir=work)
    return rows, checks, values, False


def disk_large_scenario(args, builds, work):
    plain_loop = find_tool(builds, "bench/plain_loop")
    vyx = find_tool(builds, "cli/vyx")
    key = subprocess.run([vyx, "genkey"], capture_output=True, text=True, check=True).stdout.strip()
    keyfile = os.path.join(work, "key.txt")
    with open(keyfile, "w") as f:
        f.write(key + "\n")
    plain = os.path.join(work, "plain.bin")
    encrypted = os.path.join(work, "plain_encr.bin")
    out = os.path.join(work, "out.bin")
    make_random_file(plain, args.size)
    subprocess.run([plain_loop, "encrypt", key, plain, encrypted], check=True)
    rows = [
        Command("cp + sync -f", [["cp", encrypted, out], ["sync", "-f", out]], out, "cp"),
        Command("plain_loop decrypt", [[plain_loop, "decrypt", key, encrypted, out]], out, "plain"),
    ]
    for name, build in builds:
        cli = os.path.join(build, "cli", "vyx")
        rows.append(Command("%s vyx decrypt" % name,
                            [[cli, "decrypt", "-q", "-k", keyfile, "-o", out, encrypted]], out,
                            "program", "plain_loop decrypt"))
    checks = {"decrypt": plain}
    values = dict(input=plain, output=out, key=key, keyfile=keyfile, encrypted=encrypted, dir=work)
    return rows, checks, values, True


def disk_batch_scenario(args, builds, work):
    vyx = find_tool(builds, "cli/vyx")
    key = subprocess.run([vyx, "genkey"], capture_output=True, text=True, check=True).stdout.strip()
    keyfile = os.path.join(work, "key.txt")
    with open(keyfile, "w") as f:
        f.write(key + "\n")
    source = os.path.join(work, "files")
    copies = os.path.join(work, "copies")
    os.mkdir(source)
    os.mkdir(copies)
    plains = []
    for i in range(args.files):
        path = os.path.join(source, "f%05d.bin" % i)
        with open(path, "wb") as f:
            f.write(os.urandom(args.file_kib * 1024))
        plains.append(path)
    subprocess.run([vyx, "encrypt", "-q", "-k", keyfile] + plains, check=True)
    for path in plains:
        os.rename(path, path[:-4] + ".orig")  # the decryption must not find them as outputs
    encrypted = [p[:-4] + "_encr.bin" for p in plains]
    decrypted = [p[:-4] + "_decr.bin" for p in plains]  # the naming rule's result
    rows = [Command("cp + sync -f", [["cp", "-t", copies] + encrypted, ["sync", "-f", copies]],
                    copies, "cp")]
    for name, build in builds:
        cli = os.path.join(build, "cli", "vyx")
        rows.append(Command("%s vyx decrypt" % name,
                            [[cli, "decrypt", "-q", "-k", keyfile] + encrypted], decrypted,
                            "program"))
    checks = {}
    values = dict(input=encrypted[0], output=decrypted[0], key=key, keyfile=keyfile,
                  encrypted=encrypted[0], dir=source)
    return rows, checks, values, True


SCENARIOS = {
    "tmpfs": tmpfs_scenario,
    "disk-large": disk_large_scenario,
    "disk-batch": disk_batch_scenario,
}


def check_outputs(rows, checks, values, work):
    """After the warm-up round's run of each row: its output must be what it should be."""
    problems = []
    for row in rows:
        for word, expected in checks.items():
            if word in row.name and row.kind != "cp":
                remove_output(row.output, False, work)
                run_timed(row.steps)
                if not same_file(values["output"], expected):
                    problems.append(row.name)
    return problems


def median_ratio(numerators, denominators):
    return statistics.median(n / d for n, d in zip(numerators, denominators) if d > 0)


def report(scenario, rows, rounds):
    by_name = {row.name: row for row in rows}
    cp_rows = [row for row in rows if row.kind == "cp"]
    print("\n== %s: medians of %d rounds ==" % (scenario, rounds))
    print("%-28s %8s %8s %7s %7s %7s %8s %8s" %
          ("command", "wall s", "cpu s", "user", "sys", "x cp", "x plain", "cpu/pl"))
    for row in rows:
        # Speed ratios: the reference's time over this one's, per round, then the median.
        cp = cp_rows[-1] if "decrypt" in row.name or len(cp_rows) == 1 else cp_rows[0]
        x_cp = median_ratio(cp.wall, row.wall)
        plain = by_name.get(row.plain) if row.plain else None
        x_plain = "%8.2f" % median_ratio(plain.wall, row.wall) if plain else "%8s" % "-"
        cpu_plain = ("%8.2f" % (statistics.median(row.cpu) / statistics.median(plain.cpu))
                     if plain else "%8s" % "-")
        print("%-28s %8.3f %8.3f %7.3f %7.3f %7.2f %s %s" %
              (row.name, statistics.median(row.wall), statistics.median(row.cpu),
               statistics.median(row.user), statistics.median(row.system), x_cp, x_plain,
               cpu_plain))
    sys.stdout.flush()


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("scenarios", nargs="*", default=["tmpfs"],
                        help="tmpfs, disk-large, disk-batch or all (default: tmpfs)")
    parser.add_argument("--build", action="append", default=[], metavar="NAME=DIR",
                        help="a build folder to measure (default: new=build/default)")
    parser.add_argument("--rounds", type=int, default=5, help="counted rounds (default 5)")
    parser.add_argument("--size", type=int, default=1024, help="MiB of the large file")
    parser.add_argument("--files", type=int, default=2000, help="files in the batch")
    parser.add_argument("--file-kib", type=int, default=4, help="KiB per file of the batch")
    parser.add_argument("--tmpfs", default="/dev/shm", help="folder on tmpfs")
    parser.add_argument("--disk", default=None,
                        help="folder on a real disk (default: this tree's build/default)")
    parser.add_argument("--extra", action="append", default=[], metavar="SCENARIO:NAME=COMMAND")
    parser.add_argument("--json", help="write every sample to this file")
    args = parser.parse_args()

    builds = []
    for given in args.build or ["new=" + DEFAULT_BUILD]:
        name, _, folder = given.partition("=")
        if not folder:
            parser.error("--build wants NAME=DIR")
        builds.append((name, os.path.abspath(folder)))
    scenarios = list(SCENARIOS) if args.scenarios == ["all"] else args.scenarios
    for s in scenarios:
        if s not in SCENARIOS:
            parser.error("unknown scenario %s" % s)
    if args.rounds < 1:
        parser.error("--rounds must be at least 1")
    # The build folder of this tree is on the disk the tree is on, and holds nothing to keep.
    disk = args.disk or os.path.abspath(DEFAULT_BUILD)

    samples = {}
    failed = False
    for scenario in scenarios:
        parent = args.tmpfs if scenario == "tmpfs" else disk
        work = tempfile.mkdtemp(prefix="vyx-compare-", dir=parent)
        try:
            rows, checks, values, on_disk = SCENARIOS[scenario](args, builds, work)
            for given in args.extra:
                target, _, rest = given.partition(":")
                name, _, command = rest.partition("=")
                if target == scenario and command:
                    argv = [part.format(**values) for part in shlex.split(command)]
                    rows.append(Command(name, [argv], values["output"], "program"))
            problems = check_outputs(rows, checks, values, work if on_disk else None)
            if problems:
                print("compare: wrong output from %s" % ", ".join(problems), file=sys.stderr)
                failed = True
            shuffle = random.Random(1)
            for round_number in range(args.rounds + 1):
                turn = shuffle.sample(range(len(rows)), len(rows))
                for index in turn:
                    row = rows[index]
                    remove_output(row.output, on_disk, work if on_disk else None)
                    wall, user, system = run_timed(row.steps)
                    if round_number == 0:
                        continue  # warm-up
                    row.wall.append(wall)
                    row.user.append(user)
                    row.system.append(system)
                    row.cpu.append(user + system)
                print("%s: round %d of %d done" % (scenario, round_number, args.rounds),
                      file=sys.stderr)
            for row in rows:
                remove_output(row.output, False)
            report(scenario, rows, args.rounds)
            samples[scenario] = {row.name: dict(wall=row.wall, user=row.user, system=row.system)
                                 for row in rows}
        finally:
            shutil.rmtree(work, ignore_errors=True)
    if args.json:
        with open(args.json, "w") as f:
            json.dump(samples, f, indent=1)
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
