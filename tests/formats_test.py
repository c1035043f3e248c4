"""Inputs written by numpy (and the audio and seismic tools), results against a direct DFT.

Usage: formats_test.py <anasig-binary>
"""
import io
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import wave

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


def text_result(path, sep=None):
    with open(path) as f:
        return np.array([[float(v) for v in line.split(sep)] for line in f])


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
    # With --clock the time column goes beside the results as a vector of its own.
    times = 0.25 * np.arange(50) + 10
    with open(os.path.join(d, "clocked.csv"), "w") as f:
        f.write("t,a\n" + "".join("%r,%r\n" % (t, v) for t, v in zip(times, x[:, 0])))
    r = run(d, "--format=npy", "--csv", "--clock=1", "clocked.csv")
    check(r.returncode == 0 and "clocked.csv: timestep=0.25 from column 1" in r.stdout, r.stderr)
    t = np.load(os.path.join(d, "clocked.time.npy"))
    check(t.shape == (50,) and np.array_equal(t, times), "clocked.time.npy: " + str(t[:3]))
    a = np.load(os.path.join(d, "clocked.hre.npy"))
    check(a.shape == (50, 1) and np.allclose(a[:, 0], x[:, 0], atol=1e-12), "clocked.hre.npy")


def write_wav(path, ints, width, rate):
    """ints: samples x channels, written by Python's own wave module."""
    with wave.open(path, "wb") as w:
        w.setnchannels(ints.shape[1])
        w.setsampwidth(width)
        w.setframerate(rate)
        data = ints.astype("<i4").tobytes()
        # Each sample's low `width` bytes, little-endian.
        b = np.frombuffer(data, dtype=np.uint8).reshape(-1, 4)[:, :width]
        w.writeframes(b.tobytes())


def audio(d):
    n = 40
    t = np.arange(n)
    for width, rate, chans in [(2, 8000, 2), (3, 44100, 1), (2, 48000, 3)]:
        full = 2 ** (8 * width - 1)
        ints = np.round(np.stack([np.cos(2 * np.pi * (c + 1) * t / n) * full * 0.6
                                  for c in range(chans)], axis=1)).astype(np.int64)
        write_wav(os.path.join(d, "a.wav"), ints, width, rate)
        what = "WAV %d-bit %d Hz %d channels" % (8 * width, rate, chans)
        r = run(d, "a.wav")
        check(r.returncode == 0, what + ": " + r.stderr)
        want = "%d rows, %d columns\na.wav: timestep=%g from the file\n" % (n, chans, 1 / rate)
        check(want in r.stdout, what + ": " + r.stdout)
        if r.returncode == 0:
            check_against_oracle(d, "a", ints / full, what)
        # The same samples through FLAC, written by the flac tool.
        if shutil.which("flac") and width == 2 and chans <= 2:
            subprocess.run(["flac", "-s", "-f", "-o", "b.flac", "a.wav"], cwd=d, check=True)
            r = run(d, "b.flac")
            check(r.returncode == 0, "FLAC: " + r.stderr)
            if r.returncode == 0:
                check_against_oracle(d, "b", ints / full, "FLAC " + what)
    # Float samples are read as stored; -f wins over the file's rate, with a warning.
    if shutil.which("sndfile-convert"):
        subprocess.run(["sndfile-convert", "-float32", "a.wav", "f.wav"], cwd=d, check=True)
        # sndfile-convert scales the peak to 1: the oracle reads the stored floats itself.
        raw = open(os.path.join(d, "f.wav"), "rb").read()
        at = raw.find(b"data")
        stored = np.frombuffer(raw[at + 8:at + 8 + int.from_bytes(raw[at + 4:at + 8], "little")],
                               "<f4").reshape(-1, ints.shape[1])
        r = run(d, "-f", "1000", "f.wav")
        check(r.returncode == 0 and "timestep=" not in r.stdout.split("\n", 2)[-1], "-f: " + r.stdout)
        check("Warning: f.wav: the file's timestep is 2.08333e-05; 0.001 is used\n" in r.stderr,
              "-f against the file: " + r.stderr)
        if r.returncode == 0:
            check_against_oracle(d, "f", stored.astype(np.float64), "float WAV")
    # The file's interval sets the frequency's unit, as -f with the same rate does.
    r = run(d, "--no-re", "a.wav")
    first = open(os.path.join(d, "a.hfq")).read()
    r = run(d, "--no-re", "-f", "48000", "a.wav")
    check(open(os.path.join(d, "a.hfq")).read() == first and r.stderr.count("Warning") == 0,
          "the file's rate and -f with it differ")
    # A short file, and one whose header is damaged; a FIFO is read as the file is.
    open(os.path.join(d, "t.wav"), "wb").write(open(os.path.join(d, "a.wav"), "rb").read()[:150])
    r = run(d, "t.wav")
    check(r.returncode == 1 and "Couldn't read t.wav.\n  the file ends inside the data\n" in r.stderr,
          "t.wav: " + r.stderr)
    os.mkfifo(os.path.join(d, "p.wav"))
    proc = subprocess.Popen([BIN, "--no-freq", "p.wav"], cwd=d, stdout=subprocess.PIPE,
                            stderr=subprocess.PIPE)
    with open(os.path.join(d, "p.wav"), "wb") as f:
        f.write(open(os.path.join(d, "a.wav"), "rb").read())
    proc.communicate()
    check(proc.returncode == 0 and open(os.path.join(d, "p.hre")).read() ==
          open(os.path.join(d, "a.hre")).read(), "a WAV through a FIFO")
    open(os.path.join(d, "bad.wav"), "wb").write(b"RIFF\x10\x00\x00\x00WAVEjunkjunkjunk")
    r = run(d, "bad.wav")
    check(r.returncode == 1 and "Couldn't read bad.wav.\n  Error in WAV file" in r.stderr,
          "bad.wav: " + r.stderr)


def mseed_record(seq, net, sta, chan, start, rate, values, encoding):
    """One 512-byte miniSEED record made by hand: the fixed header, blockette 1000, the data
    big-endian (encoding 3: int32, 4: float32, 5: float64). start: seconds into 2024-01-01."""
    fmt = {3: ">i4", 4: ">f4", 5: ">f8"}[encoding]
    data = np.asarray(values).astype(fmt).tobytes()
    assert len(data) <= 448
    sec = int(start)
    tenk = int(round((start - sec) * 10000))
    head = struct.pack(">6scc5s2s3s2sHHBBBBHHhhBBBBiHH", b"%06d" % seq, b"D", b" ",
                       sta.ljust(5).encode(), b"  ", chan.encode(), net.encode(),
                       2024, 1 + sec // 86400, sec % 86400 // 3600, sec % 3600 // 60, sec % 60, 0,
                       tenk, len(values), rate, 1, 0, 0, 0, 1, 0, 64, 48)
    b1000 = struct.pack(">HHBBBB", 1000, 0, encoding, 1, 9, 0)
    return (head + b1000 + b"\0" * 8 + data).ljust(512, b"\0")


def mseed(d):
    t = np.arange(130)
    z = np.cos(2 * np.pi * 5 * t / 130) * 1000
    nn = np.sin(2 * np.pi * 3 * t / 130) * 1000
    recs = [
        mseed_record(1, "XX", "STA", "BHZ", 0.0, 100, np.round(z[:50]), 3),
        mseed_record(2, "XX", "STA", "BHN", 0.1, 100, nn[10:60], 5),
        mseed_record(3, "XX", "STA", "BHZ", 0.8, 100, np.round(z[80:]), 3),
        mseed_record(4, "XX", "STA", "BHN", 0.6, 100, nn[60:], 4),
    ]
    open(os.path.join(d, "day.mseed"), "wb").write(b"".join(recs))
    r = run(d, "--gaps", "day.mseed")
    check(r.returncode == 0 and "130 rows, 2 columns\nday.mseed: timestep=0.01 from the file\n"
          in r.stdout, "miniSEED: " + r.stdout + r.stderr)
    if r.returncode == 0:
        # Sorted by name: BHN, then BHZ; each stretch between gaps is a signal of its own.
        re = text_result(os.path.join(d, "day.hre"))
        im = text_result(os.path.join(d, "day.him"))
        want = np.full((130, 2), np.nan + 0j)
        nf = nn.astype(np.float32).astype(np.float64)
        # BHN starts late; its two records (float64, then float32) join without a gap.
        want[10:, 0] = direct_analytic(np.concatenate([nn[10:60], nf[60:]])[:, None])[:, 0]
        want[:50, 1] = direct_analytic(np.round(z[:50])[:, None])[:, 0]
        want[80:, 1] = direct_analytic(np.round(z[80:])[:, None])[:, 0]
        gap = np.isnan(want.real)
        check(np.array_equal(np.isnan(re), gap), "miniSEED --gaps: NaN where a channel has none")
        check(close(np.nan_to_num(re + 1j * im), np.nan_to_num(want)), "miniSEED --gaps values")
    r = run(d, "day.mseed")
    check(r.returncode == 0, "miniSEED without --gaps: " + r.stderr)

    def refused(recs, reason):
        open(os.path.join(d, "bad.mseed"), "wb").write(b"".join(recs))
        r = run(d, "bad.mseed")
        want = "Couldn't read bad.mseed.\n  %s\n" % reason
        check(r.returncode == 1 and want in r.stderr, "%r: %r" % (reason, r.stderr))

    refused([recs[0], mseed_record(2, "XX", "STA", "BHN", 0.0, 50, nn[:50], 5)],
            "XX.STA..BHN is sampled at 50 Hz and XX.STA..BHZ at 100 Hz")
    refused([recs[0], mseed_record(2, "XX", "STA", "BHZ", 0.3, 100, z[:50], 5)],
            "records of XX.STA..BHZ overlap at 2024-01-01T00:00:00.300000")
    refused([recs[0], mseed_record(2, "XX", "STA", "BHN", 0.0052, 100, z[:50], 5)],
            "a record of XX.STA..BHN at 2024-01-01T00:00:00.005200 starts between the samples")
    refused([recs[0], recs[1][:300]], "the file ends inside a record")


def bands_at_the_files_rate(d):
    """A band above the Nyquist frequency of the default interval is taken where the file names
    its own, and checked against that file's: a WAV's rate, a time column."""
    n = 40
    t = np.arange(n)
    # 8000 Hz: tones of 1000 and 3000 Hz; 500-1500 keeps the first alone.
    x = np.stack([np.cos(2 * np.pi * 5 * t / n), np.cos(2 * np.pi * 15 * t / n)], axis=1) * 0.5
    write_wav(os.path.join(d, "r.wav"), np.round(x * 2 ** 15).astype(np.int64), 2, 8000)
    r = run(d, "--none", "--abs", "--band=500:1500", "r.wav")
    check(r.returncode == 0, "a band of a WAV at its rate: " + r.stderr)
    if r.returncode == 0:
        env = text_result(os.path.join(d, "r.500-1500.hab"))
        # The rounding to 16 bits leaves a little of it outside the band.
        check(np.allclose(env[:, 0], 0.5, atol=1e-3) and np.allclose(env[:, 1], 0, atol=1e-3),
              "a WAV's band envelopes")
    # A time column at 1 ms, written by numpy: tones of 100 and 300 Hz, periodic in the record.
    y = np.stack([t * 0.001, np.cos(2 * np.pi * 4 * t / n), 2 * np.sin(2 * np.pi * 12 * t / n)],
                 axis=1)
    np.savetxt(os.path.join(d, "c.csv"), y, delimiter=",", fmt="%.17g")
    r = run(d, "--csv", "--clock=1", "--none", "--abs", "--band=50:150,250:350", "c.csv")
    check(r.returncode == 0, "bands at a time column's interval: " + r.stderr)
    if r.returncode == 0:
        lo = text_result(os.path.join(d, "c.50-150.hab"), ",")
        hi = text_result(os.path.join(d, "c.250-350.hab"), ",")
        check(np.allclose(lo[:, 1:], [1, 0], atol=1e-9)
              and np.allclose(hi[:, 1:], [0, 2], atol=1e-9), "a time column's band envelopes")
    r = run(d, "--csv", "--clock=1", "--band=50:600", "c.csv")
    check(r.returncode == 1 and "--band=50:600: above the Nyquist frequency 500\n" in r.stderr
          and os.path.exists(os.path.join(d, "logfile")), "a band above the file's: " + r.stderr)


for test in [dtype_families, versions_and_shapes, refusals, npy_results, audio, mseed,
             bands_at_the_files_rate]:
    with tempfile.TemporaryDirectory(prefix="anasig-formats.") as d:
        test(d)
print("%d failures" % len(failures))
sys.exit(1 if failures else 0)
