#!/usr/bin/env python3
"""Prints the constants of native/common/detmath.cpp from 1400-bit arithmetic (mpmath).

Every constant is an exact binary value (a double, or a sum of doubles whose
parts do not overlap), so the table is the same on every machine that reads it.
"""
import mpmath

mpmath.mp.prec = 1400


def dd(x):
    hi = float(x)
    lo = float(x - mpmath.mpf(hi))
    return hi, lo


def show(name, x):
    hi, lo = dd(x)
    print(f"constexpr DD {name} = {{{hi.hex()}, {lo.hex()}}};")


pi = mpmath.pi
show("kPi", pi)
show("kHalfPi", pi / 2)

# pi/2 in three parts for reducing moderate arguments: the first two have 32
# significant bits, so that their product with a quotient below 2^20 is exact.
p1 = mpmath.floor(pi / 2 * 2**31) / 2**31
p2 = mpmath.floor((pi / 2 - p1) * 2**63) / 2**63
p3 = float(pi / 2 - p1 - p2)
print(f"constexpr double kHalfPi1 = {float(p1).hex()};")
print(f"constexpr double kHalfPi2 = {float(p2).hex()};")
print(f"constexpr double kHalfPi3 = {p3.hex()};")

# 2/pi in chunks of 24 bits: chunk i holds the bits of weight 2^-(24i+1) to
# 2^-(24i+24); 48 chunks reach every double's reduction.
two_over_pi = 2 / pi
chunks = []
rest = two_over_pi
for i in range(48):
    scaled = mpmath.floor(rest * 2 ** (24 * (i + 1)))
    chunks.append(int(scaled))
    rest -= scaled / mpmath.mpf(2) ** (24 * (i + 1))
print("constexpr uint32_t kTwoOverPiBits[48] = {")
for i in range(0, 48, 6):
    print("    " + ", ".join(f"0x{c:06x}" for c in chunks[i:i + 6]) + ",")
print("};")

print("constexpr DD kAtanEighths[9] = {")
for i in range(9):
    hi, lo = dd(mpmath.atan(mpmath.mpf(i) / 8))
    print(f"    {{{hi.hex()}, {lo.hex()}}},")
print("};")
show("kLn2", mpmath.log(2))
