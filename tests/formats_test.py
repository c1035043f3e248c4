"""Inputs written by numpy (and the audio and seismic tools), results against a direct DFT.

Usage: formats_test.py <anasig-binary>
"""
import io
import os
import subprocess
import sys
import tempfile

import numpy as np

BIN = os.path.abspath(sys.argv[1])
EXTS = [".hre", ".him", ".hab", ".hth", ".hfq"]
failures = []


def check(ok, what):
    if not ok:
        failures.append(what)
        print("FAIL:", what, file=sys.stderr)


def direct_analytic(x):
    """The analytic signal of each column by the direct DFT sums."""
    n = x.shape[0]
    k = np.arange(n)
    w = np.exp(-2j * np.pi * np.outer(k, k) / n)
    h = np.zeros(n)
    h[0] = 1
    h[1:(n + 1) // 2] = 2
    if n % 2 == 0:
        h[n // 2] = 1
    return np.conj(w) @ (h[:, None] * (w @ x)) / n


def run(d, *args, stdin=None):
    return subprocess.run([BIN, *args], cwd=d, capture_output=True, text=True, stdin=stdin)


def text_result(path):
    with open(path) as f:
        return np.array([[float(v) for v in line.split()] for line in f])


def close(a, b, tol=1e-9):
    return a.shape == b.shape and np.allclose(a, b, rtol=tol, atol=tol * max(1, np.abs(b).max()))


def check_against_oracle(d, stem, x, what):
    """x: samples x signals, as float64; the text results hold its analytic signal."""
    z = direct_analytic(x)
    got = [text_result(os.path.join(d, stem + e)) for e in EXTS[:3]]
    check(close(got[0], z.real) and close(got[1], z.imag) and close(got[2], np.abs(z)),
          what + ": results differ from the direct DFT")


def dtype_families(d):
    rng = np.random.default_rng(18)
    base = np.round(rng.standard_normal((24, 3)) * 40)
    for code in ["f8", "f4", "i1", "i2", "i4", "i8", "u1", "u2", "u4"]:
        for order in "<>":
            for fortran in (False, True):
                dt = np.dtype(order + code)
                vals = base + (100 if code[0] == "u" else 0)
                a = np.asarray(vals.astype(dt), order="F" if fortran else "C")
                name = "a.npy"
                np.save(os.path.join(d, name), a)
                r = run(d, name)
                what = "%s %s-order" % (dt.str, "F" if fortran else "C")
                check(r.returncode == 0, what + ": " + r.stderr)
                check("24 rows, 3 columns\n" in r.stdout, what + ": shape report " + r.stdout)
                if r.returncode == 0:
                    check_against_oracle(d, "a", a.astype(np.float64), what)


def versions_and_shapes(d):
    x = np.cos(2 * np.pi * 3 * np.arange(32) / 32) + 0.25 * np.sin(np.arange(32))
    for version in [(2, 0), (3, 0)]:
        with open(os.path.join(d, "v.npy"), "wb") as f:
            np.lib.format.write_array(f, x, version=version)
        r = run(d, "v.npy")
        check(r.returncode == 0 and "32 rows, 1 columns\n" in r.stdout, "version %s" % (version,))
        if r.returncode == 0:
            check_against_oracle(d, "v", x[:, None], "version %s, 1-D" % (version,))
    # Signals in rows, as --data-in-rows reads a text file.
    m = np.stack([x, x[::-1]])
    np.save(os.path.join(d, "rows.npy"), m)
    r = run(d, "--data-in-rows", "rows.npy")
    check(r.returncode == 0 and "2 rows, 32 columns\n" in r.stdout, "--data-in-rows " + r.stdout)
    if r.returncode == 0:
        check_against_oracle(d, "rows", m.T, "--data-in-rows")
    # Through a FIFO: recognised from the bytes, not by seeking.
    fifo = os.path.join(d, "p.npy")
    os.mkfifo(fifo)
    proc = subprocess.Popen([BIN, "p.npy"], cwd=d, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
    buf = io.BytesIO()
    np.save(buf, m.T)
    with open(fifo, "wb") as f:
        f.write(buf.getvalue())
    out, err = proc.communicate()
    check(proc.returncode == 0, "a FIFO: " + err.decode())
    if proc.returncode == 0:
        check_against_oracle(d, "p", m.T, "a FIFO")
    os.unlink(fifo)


def refusals(d):
    def refused(name, reason):
        r = run(d, name)
        want = "Couldn't read %s.\n  %s\n" % (name, reason)
        check(r.returncode == 1 and want in r.stderr, "%s: %r" % (name, r.stderr))
        stem = name[:-4]
        check(not any(os.path.exists(os.path.join(d, stem + e)) for e in EXTS),
              name + ": results left behind")

    good = os.path.join(d, "g.npy")
    np.save(good, np.arange(40.0).reshape(20, 2))
    raw = open(good, "rb").read()
    open(os.path.join(d, "short.npy"), "wb").write(raw[:-5])
    refused("short.npy", "the file ends inside the data")
    open(os.path.join(d, "head.npy"), "wb").write(raw[:30])
    refused("head.npy", "the file ends inside the header")
    open(os.path.join(d, "bad.npy"), "wb").write(raw.replace(b"'shape'", b"'shope'"))
    refused("bad.npy", "the header names no shape")
    open(os.path.join(d, "ver.npy"), "wb").write(raw[:6] + b"\x04\x00" + raw[8:])
    refused("ver.npy", "format version 4.0 is not read: 1.0, 2.0 and 3.0 are")
    np.save(os.path.join(d, "c.npy"), np.zeros(8, dtype=np.complex128))
    refused("c.npy", "dtype <c16 is not read: float64, float32, int8-64 and uint8-64 are")
    np.save(os.path.join(d, "o.npy"), np.array([1, "a"], dtype=object), allow_pickle=True)
    refused("o.npy", "dtype |O is not read: float64, float32, int8-64 and uint8-64 are")
    np.save(os.path.join(d, "s3.npy"), np.zeros((2, 3, 4)))
    refused("s3.npy", "shape (2, 3, 4) is not read: 1-D or 2-D are")
    np.save(os.path.join(d, "s0.npy"), np.float64(3))
    refused("s0.npy", "shape () is not read: 1-D or 2-D are")


def npy_results(d):
    """--format=npy holds every bit of what the text results print to 11 digits."""
    x = np.cos(np.outer(np.arange(50), [0.3, 0.7])) + np.outer(np.arange(50), [0.01, -0.02])
    np.save(os.path.join(d, "sig.npy"), x)
    r = run(d, "--freq-method=derivative", "sig.npy")
    check(r.returncode == 0, "text results: " + r.stderr)
    os.rename(os.path.join(d, "sig.npy"), os.path.join(d, "in.npy"))
    r = run(d, "--format=npy", "--freq-method=derivative", "--band=0:0.1", "in.npy")
    check(r.returncode == 0, "--format=npy with a band: " + r.stderr)
    check(os.path.exists(os.path.join(d, "in.0-0.1.hab.npy")), "a band's .npy name")
    r = run(d, "--format=npy", "--freq-method=derivative", "in.npy")
    check(r.returncode == 0, "--format=npy: " + r.stderr)
    for e in EXTS:
        a = np.load(os.path.join(d, "in" + e + ".npy"))
        t = text_result(os.path.join(d, "sig" + e))
        check(a.dtype == np.dtype("<f8") and a.flags.c_contiguous and a.shape == (50, 2),
              e + ".npy: " + str(a.dtype) + str(a.shape))
        if a.shape == t.shape:
            printed = np.vectorize(lambda v: float("%.11g" % v))(a)
            check(np.array_equal(printed, t, equal_nan=True), e + ".npy differs from the text")
    r = run(d, "--format=csv", "in.npy")
    check(r.returncode == 1 and r.stderr == "--format takes text or npy\n", "--format=csv")


for test in [dtype_families, versions_and_shapes, refusals, npy_results]:
    with tempfile.TemporaryDirectory(prefix="anasig-formats.") as d:
        test(d)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
