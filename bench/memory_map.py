#!/usr/bin/env python3
"""Where a process's resident memory lies, by mapping, and where two
processes differ.

    memory_map.py snapshot PID FILE    the resident KiB of each mapping of the
                                       process PID (from /proc/PID/smaps),
                                       summed by what is mapped: a file's
                                       name, or [heap], [stack], [anonymous]
    memory_map.py compare BASE OURS    one line per mapping whose resident
                                       memory differs by 64 KiB or more,
                                       largest difference first, then the
                                       totals
"""

import json
import os
import sys


def snapshot(pid):
    sizes = {}
    name = None
    with open("/proc/%s/smaps" % pid) as smaps:
        for line in smaps:
            fields = line.split()
            if not fields:
                continue
            if "-" in fields[0] and len(fields) >= 5 and not fields[0].endswith(":"):
                path = " ".join(fields[5:]) if len(fields) > 5 else ""
                if not path:
                    name = "[anonymous]"
                elif path.startswith("["):
                    name = path
                else:
                    name = os.path.basename(path)
                continue
            if fields[0] == "Rss:" and name is not None:
                sizes[name] = sizes.get(name, 0) + int(fields[1])
    return sizes


def compare(base, ours):
    names = set(base) | set(ours)
    rows = sorted(((ours.get(n, 0) - base.get(n, 0), n) for n in names), key=lambda r: -abs(r[0]))
    for diff, name in rows:
        if abs(diff) < 64:
            continue
        print("memory: %-40s baseline %7d KiB  ours %7d KiB  difference %+7d KiB"
              % (name, base.get(name, 0), ours.get(name, 0), diff))
    total_base = sum(base.values())
    total_ours = sum(ours.values())
    print("memory: %-40s baseline %7d KiB  ours %7d KiB  difference %+7d KiB"
          % ("(all mappings)", total_base, total_ours, total_ours - total_base))


def main():
    if len(sys.argv) == 4 and sys.argv[1] == "snapshot":
        with open(sys.argv[3], "w") as out:
            json.dump(snapshot(sys.argv[2]), out)
    elif len(sys.argv) == 4 and sys.argv[1] == "compare":
        with open(sys.argv[2]) as a, open(sys.argv[3]) as b:
            compare(json.load(a), json.load(b))
    else:
        sys.exit(__doc__)


if __name__ == "__main__":
    main()
