#!/usr/bin/env python3
"""Finds the Wine processes of one prefix: those whose environment carries
WINEPREFIX=<that prefix> and whose command line holds a given text. Processes
of other prefixes (other test runs, demos, people's sessions on the same
machine) are never listed, whatever their names.

    tools/wine_pids.py PREFIX TEXT    one line per process: <pid> <command line>
"""

import os
import sys


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:  # gone, or not ours to read
        return b""


def prefix_processes(prefix, text):
    """(pid, command line) of the processes of `prefix` whose command line holds `text`."""
    wanted = {b"WINEPREFIX=" + os.path.abspath(prefix).encode(), b"WINEPREFIX=" + os.path.realpath(prefix).encode()}
    found = []
    for entry in os.listdir("/proc"):
        if not entry.isdigit() or int(entry) == os.getpid():
            continue
        environment = _read("/proc/%s/environ" % entry).split(b"\0")
        if wanted.isdisjoint(environment):
            continue
        command_line = _read("/proc/%s/cmdline" % entry).replace(b"\0", b" ").decode("utf-8", "replace").strip()
        if text in command_line:
            found.append((int(entry), command_line))
    return found


def main():
    if len(sys.argv) != 3:
        print("usage: wine_pids.py PREFIX TEXT", file=sys.stderr)
        return 2
    for pid, command_line in prefix_processes(sys.argv[1], sys.argv[2]):
        print(pid, command_line)
    return 0


if __name__ == "__main__":
    sys.exit(main())
