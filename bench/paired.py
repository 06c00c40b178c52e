#!/usr/bin/env python3
"""The RESULT line of a benchmark measured in alternating pairs of rounds
(baseline and ours, the order of each pair alternating):

    paired.py NAME UNIT OURS BASELINE
        OURS, BASELINE: the per-round figures, comma-separated, pair by pair

prints
    RESULT NAME ours=<median><unit> baseline=<median><unit> ratio=<median of
    the per-pair ratios ours/baseline> low=<lowest pair ratio>
    high=<highest pair ratio> pairs=<N>

A figure that is missing, not a number, or a baseline of 0 fails with the
benchmark's name (exit 1)."""

import statistics
import sys


def figures(text, name, which):
    values = []
    for part in text.split(","):
        try:
            value = float(part)
        except ValueError:
            sys.exit("bench: %s: a %s figure is missing or not a number: %r" % (name, which, text))
        values.append(value)
    return values


def main():
    if len(sys.argv) != 5:
        sys.exit(__doc__)
    name, unit, ours_text, base_text = sys.argv[1:]
    ours = figures(ours_text, name, "measured")
    base = figures(base_text, name, "baseline")
    if len(ours) != len(base) or not ours:
        sys.exit("bench: %s: %d figures against %d baseline figures" % (name, len(ours), len(base)))
    if any(b == 0 for b in base):
        sys.exit("bench: %s: a baseline figure is 0" % name)
    ratios = [o / b for o, b in zip(ours, base)]
    print("RESULT %s ours=%.3f%s baseline=%.3f%s ratio=%.3f low=%.3f high=%.3f pairs=%d"
          % (name, statistics.median(ours), unit, statistics.median(base), unit,
             statistics.median(ratios), min(ratios), max(ratios), len(ratios)))


if __name__ == "__main__":
    main()
