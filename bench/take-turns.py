#!/usr/bin/python3
"""Runs whole commands in turns, each turn in a rotated order, and prints
each command's wall and CPU milliseconds (median, quartiles, best) and its
wall time against the first command's in the same turn. For comparing
fresh processes on a machine whose neighbours come and go.

    bench/take-turns.py TURNS NAME=COMMAND [NAME=COMMAND ...]

A COMMAND is split as a shell would split it (no shell runs it); a leading
VAR=VALUE word sets an environment variable for it, e.g.
    "Qt's reader=HESSIAN_QT_JPEG=1 build/bin/hessian-maxima-cli photo.jpg"
"""

import os
import resource
import shlex
import statistics
import subprocess
import sys
import time


def quartiles(values):
    ordered = sorted(values)

    def at(p):
        k = (len(ordered) - 1) * p
        low = int(k)
        high = min(low + 1, len(ordered) - 1)
        return ordered[low] + (ordered[high] - ordered[low]) * (k - low)

    return at(0.25), at(0.75)


def parse(given):
    name, _, command = given.partition("=")
    words = shlex.split(command)
    env = dict(os.environ)
    while words and "=" in words[0] and not words[0].startswith(("/", ".")):
        key, _, value = words.pop(0).partition("=")
        env[key] = value
    if not name or not words:
        sys.exit(f"take-turns.py: '{given}' is not NAME=COMMAND")
    return name, env, words


def main():
    if len(sys.argv) < 3 or not sys.argv[1].isdigit():
        sys.exit(__doc__)
    turns = int(sys.argv[1])
    commands = [parse(given) for given in sys.argv[2:]]
    wall = {name: [] for name, _, _ in commands}
    cpu = {name: [] for name, _, _ in commands}
    for turn in range(turns):
        shift = turn % len(commands)
        for name, env, argv in commands[shift:] + commands[:shift]:
            before = resource.getrusage(resource.RUSAGE_CHILDREN)
            start = time.perf_counter()
            subprocess.run(argv, env=env, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
            end = time.perf_counter()
            after = resource.getrusage(resource.RUSAGE_CHILDREN)
            wall[name].append((end - start) * 1000.0)
            cpu[name].append((after.ru_utime - before.ru_utime + after.ru_stime - before.ru_stime) * 1000.0)
    first = commands[0][0]
    print(f"{turns} turns, ms: wall median [quartiles] best | CPU median | wall against '{first}' in the same turn, "
          "median [quartiles]")
    for name, _, _ in commands:
        ratios = [a / b for a, b in zip(wall[name], wall[first])]
        low, high = quartiles(wall[name])
        rlow, rhigh = quartiles(ratios)
        print(f"  {name:34s} {statistics.median(wall[name]):9.2f} [{low:8.2f} {high:8.2f}] {min(wall[name]):8.2f} | "
              f"{statistics.median(cpu[name]):8.2f} | {statistics.median(ratios):.3f} [{rlow:.3f} {rhigh:.3f}]")


if __name__ == "__main__":
    main()
