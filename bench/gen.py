#!/usr/bin/python3
"""Deterministic benchmark inputs: gen.py SIGNALS SAMPLES [rows|line] > file.

rows: one signal per line; line: the numbers of the column file, in its order, on one line."""
import sys

import numpy as np


def main():
    signals, samples = int(sys.argv[1]), int(sys.argv[2])
    layout = sys.argv[3] if len(sys.argv) > 3 else "cols"
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
    if layout == "line":
        out.write(" ".join("%.11g" % v for v in m.T.ravel()) + "\n")
    elif layout == "rows":
        for row in m:
            out.write(" ".join("%.11g" % v for v in row) + "\n")
    else:
        np.savetxt(out, m.T, fmt="%.11g")


if __name__ == "__main__":
    main()
