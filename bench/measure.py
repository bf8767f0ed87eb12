#!/usr/bin/env python3
"""Measurements and the report of bench/run.sh.

measure.py time COMMANDS.json TIMES.json
    Runs every command once to warm the tree, then round after round, each
    command once per round in the list's order (a command takes part in its
    first "runs" rounds), so that a burst of other work on the machine falls
    on all commands alike rather than on the one that happened to run then.
    Takes each run's wall time around the process and its processor time
    (user + system of the process and of every descendant it waited for)
    from wait4; writes all runs.

measure.py count COMMANDS.json COUNTS.json REPOSITORIES LISTING_SELF.so all|listing
    Counts the git processes each command starts (every successful execve of
    a program named git, git's own helpers included), under strace; and the
    listing's own peak resident memory (the largest of three runs) and its
    own processor time without its git children (the median), reported by
    LISTING_SELF.so preloaded into it. With "listing", only the listing's
    processes are counted.

measure.py report PROCESSORS DIR...
    Prints the figures of each size (DIR holds its times.json and
    counts.json) and how the listing grows from the first size to the last.

COMMANDS.json is a list of {"name", "argv", "env" (added to this
environment), "runs", "kind" ("listing", "before", "one job", "floor2",
"floor3", "floor1" (git status alone), "terminal" (quarlo status), "peer";
"detail" and "status" for the large repository), "may_fail"}.
"""
import glob
import json
import os
import re
import shutil
import statistics
import sys
import tempfile
import time


def spawn(cmd, extra_env=None, prefix=()):
    env = dict(os.environ)
    env.update(cmd.get("env", {}))
    env.update(extra_env or {})
    argv = list(prefix) + cmd["argv"]
    devnull = [(os.POSIX_SPAWN_OPEN, fd, os.devnull, os.O_RDWR, 0) for fd in (0, 1, 2)]
    start = time.monotonic()
    pid = os.posix_spawnp(argv[0], argv, env, file_actions=devnull)
    _, status, usage = os.wait4(pid, 0)
    wall = time.monotonic() - start
    code = os.waitstatus_to_exitcode(status)
    if code != 0 and not cmd.get("may_fail"):
        sys.exit(f"{cmd['name']}: exit status {code}")
    return wall, usage.ru_utime + usage.ru_stime


def time_commands(commands_file, times_file):
    commands = json.load(open(commands_file))
    for cmd in commands:
        spawn(cmd)  # warm-up: the tree's files in the page cache
    rounds = max(cmd["runs"] for cmd in commands)
    runs = {cmd["name"]: {"wall": [], "cpu": []} for cmd in commands}
    for r in range(rounds):
        for cmd in commands:
            if r < cmd["runs"]:
                wall, cpu = spawn(cmd)
                runs[cmd["name"]]["wall"].append(wall)
                runs[cmd["name"]]["cpu"].append(cpu)
        print(f"  round {r + 1} of {rounds}", file=sys.stderr)
    json.dump(runs, open(times_file, "w"), indent=1)


EXECVE_OK = re.compile(r'^execve\("([^"]*)", .*\) = 0$')


def git_processes(cmd):
    trace = tempfile.mkdtemp(prefix="quarlo-bench-strace-")
    try:
        spawn(cmd, prefix=("strace", "-ff", "-qq", "-e", "trace=execve", "-o", trace + "/t", "--"))
        started = 0
        for path in glob.glob(trace + "/t.*"):
            with open(path, errors="replace") as f:
                for line in f:
                    m = EXECVE_OK.match(line.strip())
                    if m and re.match(r"git(-|$)", os.path.basename(m.group(1))):
                        started += 1
        return started
    finally:
        shutil.rmtree(trace)


def listing_self(cmd, preload):
    """The listing's own peak memory (kB) and processor time (s)."""
    with tempfile.NamedTemporaryFile("r", prefix="quarlo-bench-self-") as f:
        for _ in range(3):
            spawn(cmd, {"LD_PRELOAD": preload, "BENCH_SELF_FILE": f.name})
        runs = [line.split() for line in f.read().splitlines()]
    return max(int(r[0]) for r in runs), statistics.median(float(r[1]) / 1000 for r in runs)


def count(commands_file, counts_file, repositories, preload, which):
    commands = json.load(open(commands_file))
    counts = {"processes": {}}
    for cmd in commands:
        if which == "all" or cmd["kind"] == "listing":
            counts["processes"][cmd["name"]] = git_processes(cmd) / int(repositories)
        if cmd["kind"] == "listing":
            counts["peak_rss_kb"], counts["self_cpu"] = listing_self(cmd, preload)
    counts["repositories"] = int(repositories)
    json.dump(counts, open(counts_file, "w"), indent=1)


def report(cpus, dirs):
    growth = []
    for d in dirs:
        commands = json.load(open(d + "/commands.json"))
        times = json.load(open(d + "/times.json"))
        counts = json.load(open(d + "/counts.json"))
        n = counts["repositories"]
        med = {name: {k: statistics.median(v) for k, v in t.items()} for name, t in times.items()}
        by_kind = {c["kind"]: c["name"] for c in commands}
        f2, f1 = med[by_kind["floor2"]], med[by_kind["floor1"]]
        runs = {c["name"]: len(times[c["name"]]["wall"]) for c in commands}
        print(f"\n{n} repositories, {cpus} processors: medians (wall time, processor time "
              f"user+system of the command and its children), commands interleaved")
        print(f"{'command':32} {'runs':>4} {'wall':>8} {'cpu':>8} {'wall/floor2':>11} "
              f"{'cpu/floor2':>10} {'wall/status':>11} {'cpu/status':>10} {'git/repo':>8}")
        for c in commands:
            m = med[c["name"]]
            procs = counts["processes"].get(c["name"])
            print(f"{c['name']:32} {runs[c['name']]:4} {m['wall'] * 1000:6.0f}ms "
                  f"{m['cpu'] * 1000:6.0f}ms {m['wall'] / f2['wall']:10.2f}x "
                  f"{m['cpu'] / f2['cpu']:9.2f}x {m['wall'] / f1['wall']:10.2f}x "
                  f"{m['cpu'] / f1['cpu']:9.2f}x "
                  + (f"{procs:8.2f}" if procs is not None else f"{'':8}"))
        listing = med[by_kind["listing"]]
        peers = [c["name"] for c in commands if c["kind"] == "peer"]
        status = med.get(by_kind.get("terminal"))
        if status:
            print(f"quarlo status: {status['wall'] / listing['wall']:.2f}x the listing's wall "
                  f"time")
        if peers:
            fastest = min(peers, key=lambda p: med[p]["wall"])
            print(f"fastest peer: {fastest}, {med[fastest]['wall'] / listing['wall']:.1f}x the "
                  f"listing's wall time")
            if status:
                for p in peers:
                    print(f"  {p}: {med[p]['wall'] / status['wall']:.1f}x the wall time of "
                          f"quarlo status")
        else:
            print("no peer installed: quarlo status is measured alone")
        print(f"the listing without its git children: peak resident memory "
              f"{counts['peak_rss_kb'] / 1024:.1f} MB, processor time "
              f"{counts['self_cpu'] * 1000:.0f} ms ({counts['self_cpu'] / listing['cpu']:.0%} of "
              f"the listing's)")
        fastest_run = min(times[by_kind["listing"]]["wall"])
        growth.append((n, listing["wall"] / n, fastest_run / n, listing["cpu"] / n,
                       counts["peak_rss_kb"]))
    if len(growth) > 1:
        print("\nthe listing by size, per repository: median wall time, fastest run's wall "
              "time, median processor time; peak memory")
        for n, wall, fastest, cpu, rss in growth:
            print(f"{n:6} repositories {wall * 1000:6.2f} ms {fastest * 1000:6.2f} ms "
                  f"{cpu * 1000:6.2f} ms {rss / 1024:6.1f} MB")
        first, last = growth[0], growth[-1]
        print(f"per repository at {last[0]} against {first[0]}: median wall "
              f"{last[1] / first[1]:.2f}x, fastest wall {last[2] / first[2]:.2f}x, "
              f"processor {last[3] / first[3]:.2f}x")


def detail(d):
    times = json.load(open(d + "/times.json"))
    med = {name: {k: statistics.median(v) for k, v in t.items()} for name, t in times.items()}
    det, st = med["quarlo detail"], med["git status, once"]
    print("\none repository with 100,000 tracked files: medians, commands interleaved")
    for name, m in (("quarlo detail", det), ("git status, once", st)):
        print(f"{name:20} {m['wall'] * 1000:7.0f}ms wall {m['cpu'] * 1000:7.0f}ms cpu")
    print(f"the detail against one status: wall {det['wall'] / st['wall']:.2f}x, "
          f"processor {det['cpu'] / st['cpu']:.2f}x")


def main():
    what = sys.argv[1]
    if what == "time":
        time_commands(sys.argv[2], sys.argv[3])
    elif what == "count":
        count(*sys.argv[2:7])
    elif what == "detail":
        detail(sys.argv[2])
    elif what == "report":
        report(sys.argv[2], sys.argv[3:])
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
