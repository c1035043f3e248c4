#!/usr/bin/python3
"""The pipeline a Python user would write: hilbert.py INTERVAL FILE writes FILE's five results."""
import os
import sys

import numpy as np
import scipy.signal


def main():
    tstep, path = float(sys.argv[1]), sys.argv[2]
    base = os.path.splitext(path)[0]
    x = np.loadtxt(path, ndmin=2)
    z = scipy.signal.hilbert(x, axis=0)
    theta = np.angle(z)
    freq = np.vstack([np.zeros((1, x.shape[1])), np.diff(theta, axis=0) / tstep])
    for ext, v in (("hre", z.real), ("him", z.imag), ("hab", np.abs(z)), ("hth", theta),
                   ("hfq", freq)):
        np.savetxt(base + "." + ext, v, fmt="%.11g")


if __name__ == "__main__":
    main()
