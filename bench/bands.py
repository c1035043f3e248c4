#!/usr/bin/python3
"""Band envelopes as a Python user would compute them, for timing and for checking anasig --band.

bands.py numpy INTERVAL LO:HI ... FILE   the raised-cosine gain on numpy.fft, FILE.LO-HI.hab
bands.py mne INTERVAL LO:HI ... FILE     mne.filter.filter_data, then scipy.signal.hilbert
bands.py check INTERVAL LO:HI ... FILE
    compares anasig's FILE.LO-HI.hab with the numpy envelope (everywhere) and with MNE's (away
    from the first and last 10% of the record) and prints the largest differences.
"""
import os
import sys

import numpy as np


def edges(lo, hi, nyquist):
    """The default transition widths below LO and above HI (those MNE uses)."""
    return min(max(lo / 4, 2.0), lo), min(max(hi / 4, 2.0), nyquist - hi)


def parse(arg, nyquist):
    lo, hi = arg.split(":")[:2]
    lo = float(lo)
    hi = nyquist if hi == "max" else float(hi)
    return lo, hi


def label(arg):
    lo, hi = arg.split(":")[:2]
    return "%g-%s" % (float(lo), hi if hi == "max" else "%g" % float(hi))


def gain(f, lo, hi, below, above):
    g = np.where((f >= lo) & (f <= hi), 1.0, 0.0)
    if below > 0:
        m = (f < lo) & (f > lo - below)
        g[m] = 0.5 * (1 + np.cos(np.pi * (lo - f[m]) / below))
    if above > 0:
        m = (f > hi) & (f < hi + above)
        g[m] = 0.5 * (1 + np.cos(np.pi * (f[m] - hi) / above))
    return g


def numpy_envelopes(x, dt, args):
    n = x.shape[0]
    nyquist = 1 / (2 * dt)
    spectrum = np.fft.fft(x, axis=0)
    k = np.arange(n)
    one_sided = np.where(k == 0, 1.0, np.where(2 * k < n, 2.0, np.where(2 * k == n, 1.0, 0.0)))
    f = np.minimum(k, n - k) / (n * dt)
    out = {}
    for a in args:
        lo, hi = parse(a, nyquist)
        below, above = edges(lo, hi, nyquist)
        h = one_sided * gain(f, lo, hi, below, above)
        out[label(a)] = np.abs(np.fft.ifft(spectrum * h[:, None], axis=0))
    return out


def mne_envelopes(x, dt, args):
    import mne
    import scipy.signal

    mne.set_log_level("ERROR")
    nyquist = 1 / (2 * dt)
    out = {}
    for a in args:
        lo, hi = parse(a, nyquist)
        below, above = edges(lo, hi, nyquist)
        y = mne.filter.filter_data(x.T.copy(), 1 / dt, lo if lo > 0 else None,
                                   hi if hi < nyquist else None,
                                   l_trans_bandwidth=below if lo > 0 else "auto",
                                   h_trans_bandwidth=above if hi < nyquist else "auto")
        out[label(a)] = np.abs(scipy.signal.hilbert(y, axis=1)).T
    return out


def main():
    mode, dt, args, path = sys.argv[1], float(sys.argv[2]), sys.argv[3:-1], sys.argv[-1]
    base = os.path.splitext(path)[0]
    x = np.loadtxt(path, ndmin=2)
    if mode in ("numpy", "mne"):
        make = numpy_envelopes if mode == "numpy" else mne_envelopes
        for name, env in make(x, dt, args).items():
            np.savetxt("%s.%s.hab" % (base, name), env, fmt="%.11g")
        return
    ours = numpy_envelopes(x, dt, args)
    theirs = mne_envelopes(x, dt, args)
    n = x.shape[0]
    middle = slice(n // 10, n - n // 10)
    for name in ours:
        got = np.loadtxt("%s.%s.hab" % (base, name), ndmin=2)
        scale = np.abs(ours[name][middle]).max()
        print("band %s: anasig - numpy %.2g (max %.3g); anasig - MNE in the middle %.2g (%.2g%%)"
              % (name, np.abs(got - ours[name]).max(), scale,
                 np.abs(got - theirs[name])[middle].max(),
                 100 * np.abs(got - theirs[name])[middle].max() / scale))


if __name__ == "__main__":
    main()
