#!/usr/bin/python3
"""Recording benchmarks: formats.py make STD.txt DIR writes DIR/std.npy and DIR/std17.txt (the
same values as 17-digit text) and DIR/long.wav (10 minutes of 48 kHz stereo);
formats.py numpy INTERVAL FILE.npy is what a numpy/scipy user would write for the five results;
formats.py check DIR_NPY DIR_TEXT: the .npy envelope prints as the text one does."""
import os
import sys
import wave

import numpy as np
import scipy.signal


def make(std, out):
    x = np.loadtxt(std, ndmin=2)
    np.save(os.path.join(out, "std.npy"), x)
    np.savetxt(os.path.join(out, "std17.txt"), x, fmt="%.17g")
    n = 48000 * 600
    with wave.open(os.path.join(out, "long.wav"), "wb") as w:
        w.setnchannels(2)
        w.setsampwidth(2)
        w.setframerate(48000)
        t = np.arange(n) / 48000.0
        for part in np.array_split(np.arange(n), 60):
            s = np.stack([np.sin(2 * np.pi * 440 * t[part]), np.sin(2 * np.pi * 660 * t[part])], 1)
            w.writeframes((s * 20000).astype("<i2").tobytes())


def pipeline(tstep, path):
    base = os.path.splitext(path)[0]
    x = np.load(path)
    z = scipy.signal.hilbert(x, axis=0)
    theta = np.angle(z)
    freq = np.vstack([np.zeros((1, x.shape[1])), np.diff(theta, axis=0) / tstep])
    for ext, v in (("hre", z.real), ("him", z.imag), ("hab", np.abs(z)), ("hth", theta),
                   ("hfq", freq)):
        np.save(base + "." + ext + ".npy", v)


def check(npy_dir, text_dir):
    a = np.load(os.path.join(npy_dir, "in.hab.npy"))
    with open(os.path.join(text_dir, "in.hab")) as f:
        text = f.read()
    printed = "".join(" ".join("%.11g" % v for v in row) + "\n" for row in a)
    print("npy envelope %s the 17-digit text run's" % ("prints as" if printed == text else
                                                      "DIFFERS from"))


if __name__ == "__main__":
    if sys.argv[1] == "make":
        make(sys.argv[2], sys.argv[3])
    elif sys.argv[1] == "numpy":
        pipeline(float(sys.argv[2]), sys.argv[3])
    else:
        check(sys.argv[2], sys.argv[3])
