#!/usr/bin/python3
"""Deterministic benchmark inputs: gen.py SIGNALS SAMPLES [rows] > file."""
import sys

import numpy as np


def main():
    signals, samples = int(sys.argv[1]), int(sys.argv[2])
    in_rows = len(sys.argv) > 3 and sys.argv[3] == "rows"
    rng = np.random.default_rng(20261208)
    t = np.arange(samples) * 1e-3
    cols = []
    for s in range(signals):
        f = 5.0 + 7.0 * s
        x = (1 + 0.5 * np.cos(2 * np.pi * 0.3 * t)) * np.sin(2 * np.pi * f * t)
        cols.append(x + 0.01 * rng.standard_normal(samples))
    m = np.array(cols)
    out = sys.stdout
    out.write("# benchmark input: %d signals x %d samples, interval 0.001\n" % (signals, samples))
    if in_rows:
        for row in m:
            out.write(" ".join("%.11g" % v for v in row) + "\n")
    else:
        np.savetxt(out, m.T, fmt="%.11g")


if __name__ == "__main__":
    main()
