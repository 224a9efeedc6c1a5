#!/usr/bin/env python3
"""Fits the polynomials of the vocoder's vector atan2 and sincos kernels and
proves their error bound.

    python3 tools/fit_kernels.py          # fit, print coefficients and bounds
    python3 tools/fit_kernels.py --check  # also replay the kernels in double

Each polynomial is a minimax fit (Remez exchange, in high precision) of the
relative error of the function on the reduced interval; the coefficients are
then rounded to double and the error of the rounded polynomial is sampled
densely (the extrema of a minimax error lie between the sample points, and
the error curve is smooth, so a dense sampling finds its maximum).

The kernels:
  atan(u) = u + u z A(z),  z = u^2, |u| <= 1/16 + 2^-14 (table of atan(n/8))
  sin(r)  = r (1 + z S(z)),  cos(r) = 1 + z C(z),  |r| <= pi/32 (+ rounding),
            then a table of sin and cos of n pi/16.

--check replays the kernels exactly as the vector code runs them (Python's
floats are IEEE doubles rounded to nearest, the same operations in the same
order, no fused multiply-add) on random and edge inputs, and compares them
with the functions in high precision. The result must stay below 2^-44
relative, so that the engine's margin of 2^-40 covers the kernel's error
plus the C library's own (below one unit in the last place of a double).
"""

import math
import random
import struct
import sys

import mpmath as mp

mp.mp.dps = 60

ATAN_U = mp.mpf(1) / 16 + mp.mpf(2) ** -14  # index from a 2^-14 reciprocal
ATAN_FIT = mp.mpf("0.0635")  # fit a little wider than needed
SIN_R = mp.pi / 32 * (1 + mp.mpf(2) ** -40)
SIN_FIT = mp.mpf("0.0985")


def remez(g, w, degree, hi, iterations=12, grid=3000):
    """Coefficients a of P(z) = sum a_i z^i minimising max |w(z) (P(z) - g(z))| on [0, hi]."""
    n = degree + 1
    pts = [hi * (1 - mp.cos(mp.pi * i / (n))) / 2 for i in range(n + 1)]
    pts[0] = hi * mp.mpf(10) ** -20
    zs = [hi * mp.mpf(i) / grid for i in range(1, grid + 1)]
    zs[0:0] = [hi * mp.mpf(10) ** -20]
    gz = [g(z) for z in zs]
    wz = [w(z) for z in zs]
    for _ in range(iterations):
        m = mp.matrix(n + 1, n + 1)
        b = mp.matrix(n + 1, 1)
        for i, z in enumerate(pts):
            for j in range(n):
                m[i, j] = z**j
            m[i, n] = (-1) ** i / w(z)
            b[i] = g(z)
        sol = mp.lu_solve(m, b)
        a = [sol[j] for j in range(n)]
        err = [wz[i] * (poly(a, z) - gz[i]) for i, z in enumerate(zs)]
        # New reference: the extremum of each run of equal sign.
        runs = []
        start = 0
        for i in range(1, len(err) + 1):
            if i == len(err) or mp.sign(err[i]) != mp.sign(err[start]):
                best = max(range(start, i), key=lambda k: abs(err[k]))
                runs.append(best)
                start = i
        while len(runs) > n + 1:
            # Drop the smaller end.
            if abs(err[runs[0]]) < abs(err[runs[-1]]):
                runs.pop(0)
            else:
                runs.pop()
        if len(runs) == n + 1:
            pts = [zs[k] for k in runs]
    return a


def poly(a, z):
    r = mp.mpf(0)
    for c in reversed(a):
        r = r * z + c
    return r


def toDouble(a):
    return [float(c) for c in a]


def dense(f, lo, hi, count=20000):
    worst = mp.mpf(0)
    for i in range(count + 1):
        x = lo + (hi - lo) * mp.mpf(i) / count
        if x == 0:
            continue
        worst = max(worst, abs(f(x)))
    return worst


def log2(v):
    return float(mp.log(v, 2)) if v > 0 else float("-inf")


def fit():
    # atan(u) = u (1 + z A(z))
    ga = lambda z: (mp.atan(mp.sqrt(z)) / mp.sqrt(z) - 1) / z
    wa = lambda z: z / (mp.atan(mp.sqrt(z)) / mp.sqrt(z))
    A = toDouble(remez(ga, wa, 3, ATAN_FIT**2))
    # sin(r) = r (1 + z S(z)), cos(r) = 1 + z C(z)
    gs = lambda z: (mp.sin(mp.sqrt(z)) / mp.sqrt(z) - 1) / z
    ws = lambda z: z / (mp.sin(mp.sqrt(z)) / mp.sqrt(z))
    S = toDouble(remez(gs, ws, 2, SIN_FIT**2))
    gc = lambda z: (mp.cos(mp.sqrt(z)) - 1) / z
    wc = lambda z: z / mp.cos(mp.sqrt(z))
    C = toDouble(remez(gc, wc, 2, SIN_FIT**2))

    ea = dense(lambda u: (u + u * u * u * poly(A, u * u)) / mp.atan(u) - 1, 0, ATAN_U)
    es = dense(lambda r: (1 + r * r * poly(S, r * r)) * r / mp.sin(r) - 1, 0, SIN_R)
    ec = dense(lambda r: (1 + r * r * poly(C, r * r)) / mp.cos(r) - 1, 0, SIN_R)
    return A, S, C, ea, es, ec


# ---------------------------------------------------------------------------
# The kernels in double, operation for operation.

M52 = 6755399441055744.0  # 1.5 * 2^52: adding it rounds to an integer
PIO16_HI = 1.57079632673412561417e00 / 8  # 33 bits: k * PIO16_HI is exact
PIO16_LO = 6.07710050650619224932e-11 / 8


def tables():
    atanT = [float(mp.atan(mp.mpf(n) / 8)) for n in range(9)]
    sinT = [float(mp.sin(mp.pi * n / 16)) for n in range(16)]
    cosT = [float(mp.cos(mp.pi * n / 16)) for n in range(16)]
    sinT[0], cosT[0], sinT[8], cosT[8] = -0.0, 1.0, 1.0, 0.0
    return atanT, sinT, cosT


def hornerD(a, z):
    r = a[-1]
    for c in reversed(a[:-1]):
        r = c + z * r
    return r


def atan2D(y, x, A, atanT, rcpErr):
    """The vector atan2 for finite non-zero x, y (floats); rcpErr perturbs the
    two approximate reciprocals within their bound, None stands for the
    four-lane variant (a float quotient for the index, a division for u)."""
    ax, ay = abs(x), abs(y)
    lo, hi = min(ax, ay), max(ax, ay)
    if rcpErr is None:
        n = float(math.floor(f32(f32(lo / hi) * 8.0 + 0.5)))
    else:
        t = lo * ((1 / hi) * (1 + rcpErr))
        n = (t * 8.0 + M52) - M52
    c = n * 0.125
    num = lo - c * hi
    den = hi + c * lo
    if rcpErr is None:
        u = num / den
    else:
        y0 = (1 / den) * (1 - rcpErr)
        y1 = y0 * (2.0 - den * y0)
        y2 = y1 * (2.0 - den * y1)
        u = num * y2
    z = u * u
    p = u + (u * z) * hornerD(A, z)
    r = atanT[int(n)] + p
    if ay > ax:
        r = 1.5707963267948966 - r
    if x < 0:
        r = 3.141592653589793 - r
    return -r if y < 0 else r


def sinCosD(x, S, C, sinT, cosT):
    yk = x * (16 / math.pi) + M52
    k = yk - M52
    r = (x - k * PIO16_HI) - k * PIO16_LO
    z = r * r
    s = r * (1.0 + z * hornerD(S, z))
    c = 1.0 + z * hornerD(C, z)
    i = int(k) & 15
    sn = sinT[i] * c + cosT[i] * s
    cs = cosT[i] * c - sinT[i] * s
    if int(k) & 16:
        sn, cs = -sn, -cs
    return sn, cs


def f32(v):
    return struct.unpack("f", struct.pack("f", v))[0]


def check(A, S, C, samples):
    atanT, sinT, cosT = tables()
    rng = random.Random(1)
    worstA = 0.0
    for i in range(samples):
        x = f32(rng.uniform(-1, 1) * 2.0 ** rng.randint(-30, 30))
        y = f32(rng.uniform(-1, 1) * 2.0 ** rng.randint(-30, 30))
        if i % 3 == 0:  # ratios near the table's breakpoints
            y = f32(x * (rng.randint(0, 16) + rng.choice([-1, 1]) * rng.random() * 1e-3) / 16)
        if x == 0 or y == 0:
            continue
        want = mp.atan2(y, x)
        for e in (-(2.0**-14), 0.0, 2.0**-14, None):
            got = atan2D(y, x, A, atanT, e)
            worstA = max(worstA, abs(got / want - 1))
    worstS = 0.0
    edge = [k * math.pi / 16 for k in range(-21, 22)]
    for i in range(samples):
        if i % 4 == 0:
            x = f32(rng.choice(edge))
            for _ in range(rng.randint(0, 3)):
                x = math.nextafter(x, rng.choice([-5.0, 5.0]))
            x = f32(x)
        else:
            x = f32(rng.uniform(-4, 4))
        if x == 0:
            continue
        sn, cs = sinCosD(x, S, C, sinT, cosT)
        worstS = max(worstS, abs(sn / mp.sin(x) - 1), abs(cs / mp.cos(x) - 1))
    return worstA, worstS


def main():
    A, S, C, ea, es, ec = fit()
    fmt = lambda v: "%.17e" % v
    print("atan  A =", ", ".join(map(fmt, A)))
    print("sin   S =", ", ".join(map(fmt, S)))
    print("cos   C =", ", ".join(map(fmt, C)))
    print("approximation error, relative: atan 2^%.2f  sin 2^%.2f  cos 2^%.2f" % (log2(ea), log2(es), log2(ec)))
    atanT, sinT, cosT = tables()
    print("atan(n/8) =", ", ".join(map(fmt, atanT)))
    print("sin(n pi/16) =", ", ".join(map(fmt, sinT)))
    print("cos(n pi/16) =", ", ".join(map(fmt, cosT)))
    if "--check" in sys.argv:
        wa, ws = check(A, S, C, 20000)
        print("whole kernel, sampled, relative: atan2 2^%.2f  sincos 2^%.2f" % (log2(wa), log2(ws)))
        if max(wa, ws) >= 2.0**-44:
            sys.exit("bound exceeded")


if __name__ == "__main__":
    main()
