// The deterministic maths unit: sine, cosine, arctangent and power of two
// from their definitions, in double and double-double arithmetic.
#include "detmath.h"

#include <cmath>
#include <cstdint>
#include <cstring>

// Only exactly rounded operations of the C library are used below (fabs,
// floor, ldexp, frexp, nextafter, isnan, isinf, signbit): every C library
// gives the same bits for them.

namespace {

// An unevaluated sum hi + lo with |lo| at most half a unit in the last place
// of hi: about 106 significant bits.
struct DD {
  double hi;
  double lo;
};

// Made by tools/detmath_constants.py.
constexpr DD kPi = {0x1.921fb54442d18p+1, 0x1.1a62633145c07p-53};
constexpr DD kHalfPi = {0x1.921fb54442d18p+0, 0x1.1a62633145c07p-54};
constexpr DD kQuarterPi = {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55};
constexpr double kHalfPi1 = 0x1.921fb54400000p+0;
constexpr double kHalfPi2 = 0x1.0b4611a000000p-34;
constexpr double kHalfPi3 = 0x1.898cc51701b84p-64;
constexpr uint32_t kTwoOverPiBits[48] = {
    0xa2f983, 0x6e4e44, 0x1529fc, 0x2757d1, 0xf534dd, 0xc0db62, 0x95993c, 0x439041, 0xfe5163, 0xabdebb,
    0xc561b7, 0x246e3a, 0x424dd2, 0xe00649, 0x2eea09, 0xd1921c, 0xfe1deb, 0x1cb129, 0xa73ee8, 0x8235f5,
    0x2ebb44, 0x84e99c, 0x7026b4, 0x5f7e41, 0x3991d6, 0x398353, 0x39f49c, 0x845f8b, 0xbdf928, 0x3b1ff8,
    0x97ffde, 0x05980f, 0xef2f11, 0x8b5a0a, 0x6d1f6d, 0x367ecf, 0x27cb09, 0xb74f46, 0x3f669e, 0x5fea2d,
    0x7527ba, 0xc7ebe5, 0xf17b3d, 0x0739f7, 0x8a5292, 0xea6bfb, 0x5fb11f, 0x8d5d08,
};
constexpr DD kAtanEighths[9] = {
    {0x0.0p+0, 0x0.0p+0},
    {0x1.fd5ba9aac2f6ep-4, -0x1.cd37686760c17p-59},
    {0x1.f5b75f92c80ddp-3, 0x1.8ab6e3cf7afbdp-57},
    {0x1.6f61941e4def1p-2, -0x1.c63aae6f6e918p-56},
    {0x1.dac670561bb4fp-2, 0x1.a2b7f222f65e2p-56},
    {0x1.1e00babdefeb4p-1, -0x1.928df287a668fp-58},
    {0x1.4978fa3269ee1p-1, 0x1.2419a87f2a458p-56},
    {0x1.700a7c5784634p-1, -0x1.8c34d25aadef6p-56},
    {0x1.921fb54442d18p-1, 0x1.1a62633145c07p-55},
};
constexpr DD kLn2 = {0x1.62e42fefa39efp-1, 0x1.abc9e3b39803fp-56};

// Below this magnitude the three-part reduction is exact enough; above it
// the bits of 2/pi are multiplied out.
constexpr double kModerate = 0x1p20;
// A double result is within 2^-51 of the value it stands for (two units in
// its last place); a float taken from it is kept only when everything within
// eight times that rounds to the same float.
constexpr double kFloatMargin = 0x1p-48;

// --- Error-free transformations (no fused multiply-add: Dekker's split) ---

DD twoSum(double a, double b) {
  const double s = a + b;
  const double bb = s - a;
  return {s, (a - (s - bb)) + (b - bb)};
}

// Needs |a| >= |b| (or a == 0).
DD quickTwoSum(double a, double b) {
  const double s = a + b;
  return {s, b - (s - a)};
}

// Exact for |a| below 2^995.
DD twoProd(double a, double b) {
  const double p = a * b;
  const double ca = 134217729.0 * a;
  const double ah = ca - (ca - a);
  const double al = a - ah;
  const double cb = 134217729.0 * b;
  const double bh = cb - (cb - b);
  const double bl = b - bh;
  return {p, ((ah * bh - p) + ah * bl + al * bh) + al * bl};
}

DD add(DD a, DD b) {
  DD s = twoSum(a.hi, b.hi);
  const DD t = twoSum(a.lo, b.lo);
  s.lo += t.hi;
  s = quickTwoSum(s.hi, s.lo);
  s.lo += t.lo;
  return quickTwoSum(s.hi, s.lo);
}

DD neg(DD a) { return {-a.hi, -a.lo}; }

DD mul(DD a, DD b) {
  DD p = twoProd(a.hi, b.hi);
  p.lo += a.hi * b.lo + a.lo * b.hi;
  return quickTwoSum(p.hi, p.lo);
}

DD divD(DD a, double b) {
  const double q1 = a.hi / b;
  const DD r = add(a, neg(twoProd(q1, b)));
  return quickTwoSum(q1, r.hi / b);
}

DD div(DD a, DD b) {
  const double q1 = a.hi / b.hi;
  DD r = add(a, neg(mul(b, {q1, 0.0})));
  const double q2 = r.hi / b.hi;
  r = add(r, neg(mul(b, {q2, 0.0})));
  const double q3 = r.hi / b.hi;
  return add(quickTwoSum(q1, q2), {q3, 0.0});
}

// --- Reduction: x = (4m + quadrant) pi/2 + r, |r| <= pi/4 (and a rounding) ---

// |x| < kModerate: the quotient k has at most 20 bits, so k times each of the
// first two parts of pi/2 (32 bits each) is exact, as is the first
// difference; the third part's product is carried in double-double. The
// reduced argument is within about 2^-97 of the true one.
int reduceModerate(double x, DD* r) {
  const double k = std::floor(x * 0.6366197723675814 + 0.5);
  const double t1 = x - k * kHalfPi1;
  const DD t2 = twoSum(t1, -(k * kHalfPi2));
  *r = add(t2, neg(twoProd(k, kHalfPi3)));
  return static_cast<int>(static_cast<int64_t>(k) & 3);
}

// Any finite x >= kModerate: x is cut into three pieces of at most 24
// significant bits and each multiplied by 24-bit chunks of 2/pi, products
// that are exact in double. Products that are multiples of 4 (whole turns)
// are left out, as are those below 2^-118; the rest are summed modulo 4 in
// double-double.
int reduceLarge(double x, DD* r) {
  double pieces[3];
  double rest = x;
  for (double& piece : pieces) {
    uint64_t bits;
    std::memcpy(&bits, &rest, sizeof bits);
    bits &= ~((uint64_t{1} << 29) - 1);
    std::memcpy(&piece, &bits, sizeof piece);
    rest -= piece;
  }
  DD sum = {0.0, 0.0};
  for (const double piece : pieces) {
    if (piece == 0.0) continue;
    int e;
    std::frexp(piece, &e);
    // The lowest bit of piece times chunk i weighs 2^(e - 48 - 24i).
    const int first = e >= 50 ? (e - 50) / 24 + 1 : 0;
    // The far chunks of a huge piece would underflow: the piece lends them
    // 2^600, exactly.
    const int shift = e > 500 ? 600 : 0;
    const double scaled = std::ldexp(piece, -shift);
    for (int i = first; i < first + 9 && i < 48; ++i) {
      const double chunk = std::ldexp(static_cast<double>(kTwoOverPiBits[i]), shift - 24 * (i + 1));
      const double product = scaled * chunk;
      const double turns = product - 4.0 * std::floor(product * 0.25);
      sum = add(sum, {turns, 0.0});
      sum.hi -= 4.0 * std::floor(sum.hi * 0.25);
    }
  }
  const double k = std::floor(sum.hi + 0.5);
  *r = mul(twoSum(sum.hi - k, sum.lo), kHalfPi);
  return static_cast<int>(k) & 3;
}

int reduce(double x, DD* r) {
  if (std::fabs(x) < kModerate) return reduceModerate(x, r);
  const int q = reduceLarge(std::fabs(x), r);
  if (x >= 0) return q;
  *r = neg(*r);
  return (4 - q) & 3;
}

// --- Evaluation on the reduced argument ---

// sin and cos of |r| <= pi/4 by their Taylor series in double-double: the
// 29th power's term is below 2^-110 of the result.
void sinCosSeries(DD r, DD* s, DD* c) {
  const DD r2 = mul(r, r);
  DD sinTerm = r;
  DD sinSum = r;
  DD cosTerm = {1.0, 0.0};
  DD cosSum = {1.0, 0.0};
  for (int n = 1; n <= 14; ++n) {
    sinTerm = divD(mul(sinTerm, r2), -static_cast<double>((2 * n) * (2 * n + 1)));
    sinSum = add(sinSum, sinTerm);
    cosTerm = divD(mul(cosTerm, r2), -static_cast<double>((2 * n - 1) * (2 * n)));
    cosSum = add(cosSum, cosTerm);
  }
  *s = sinSum;
  *c = cosSum;
}

// sin and cos of r = hi + lo in double: the Taylor series up to the 21st
// power (truncation below 2^-80 for |r| <= pi/4), its leading term kept
// apart, and the low part added through the derivative. Within two units in
// the last place.
void sinCosFast(DD r, double* s, double* c) {
  const double x = r.hi;
  const double x2 = x * x;
  const double sinTail =
      x2 * (-1.0 / 6 +
            x2 * (1.0 / 120 +
                  x2 * (-1.0 / 5040 +
                        x2 * (1.0 / 362880 +
                              x2 * (-1.0 / 39916800 +
                                    x2 * (1.0 / 6227020800.0 +
                                          x2 * (-1.0 / 1307674368000.0 +
                                                x2 * (1.0 / 355687428096000.0 +
                                                      x2 * (-1.0 / 121645100408832000.0 +
                                                            x2 * (1.0 / 51090942171709440000.0))))))))));
  const double cosTail =
      x2 * (1.0 / 24 +
            x2 * (-1.0 / 720 +
                  x2 * (1.0 / 40320 +
                        x2 * (-1.0 / 3628800 +
                              x2 * (1.0 / 479001600 +
                                    x2 * (-1.0 / 87178291200.0 +
                                          x2 * (1.0 / 20922789888000.0 +
                                                x2 * (-1.0 / 6402373705728000.0 +
                                                      x2 * (1.0 / 2432902008176640000.0 +
                                                            x2 * (-1.0 / 1124000727777607680000.0))))))))));
  *s = x + (x * sinTail + r.lo * (1.0 - 0.5 * x2));
  *c = 1.0 + ((x2 * cosTail - 0.5 * x2) - r.lo * x);
}

// The quadrant's sine and cosine from those of the reduced argument.
template <typename T>
void place(int quadrant, T s, T c, T* sine, T* cosine, T (*negate)(T)) {
  switch (quadrant) {
    case 0: *sine = s; *cosine = c; break;
    case 1: *sine = c; *cosine = negate(s); break;
    case 2: *sine = negate(s); *cosine = negate(c); break;
    default: *sine = negate(c); *cosine = s; break;
  }
}

double negD(double v) { return -v; }

// The float nearest hi + lo: hi alone decides unless it lies exactly halfway
// between two floats, where the low part breaks the tie.
float nearestFloat(DD v) {
  const float f = static_cast<float>(v.hi);
  const double d = v.hi - static_cast<double>(f);
  if (d != 0.0 && v.lo != 0.0) {
    const float other = std::nextafter(f, d > 0 ? HUGE_VALF : -HUGE_VALF);
    const double half = (static_cast<double>(other) - static_cast<double>(f)) * 0.5;
    if (d == half && (v.lo > 0) == (d > 0)) return other;
  }
  return f;
}

// The float that v rounds to, when every value within the margin rounds to it.
bool settledFloat(double v, float* out) {
  const double m = std::fabs(v) * kFloatMargin;
  const float low = static_cast<float>(v - m);
  if (low != static_cast<float>(v + m)) return false;
  *out = low;
  return true;
}

// atan(num/den) for 0 < num <= den, both finite, in double-double:
// atan(n/8) from the table plus atan(u), u = (t - n/8) / (1 + t n/8),
// |u| <= 1/16, by its series to the 17th power (the next term is below
// 2^-70 of u).
DD atanRatio(double num, double den) {
  if (den > 0x1p990) {
    num *= 0x1p-600;
    den *= 0x1p-600;
  } else if (den < 0x1p-900) {
    num *= 0x1p600;
    den *= 0x1p600;
  }
  const double tHi = num / den;
  const DD p = twoProd(tHi, den);
  const double tLo = ((num - p.hi) - p.lo) / den;
  const int n = static_cast<int>(tHi * 8.0 + 0.5);
  const double c = n * 0.125;
  DD u = twoSum(tHi - c, tLo);
  if (n != 0) u = div(u, add(twoProd(tHi, c), {1.0, 0.0}));
  const double u2 = u.hi * u.hi;
  const double tail =
      u2 * (-1.0 / 3 +
            u2 * (1.0 / 5 + u2 * (-1.0 / 7 + u2 * (1.0 / 9 + u2 * (-1.0 / 11 + u2 * (1.0 / 13 + u2 * (-1.0 / 15 +
                                                                                             u2 * (1.0 / 17))))))));
  const DD atanU = quickTwoSum(u.hi, u.lo + u.hi * tail);
  return add(kAtanEighths[n], atanU);
}

}  // namespace

void tmath_sincos(double x, double* sine, double* cosine) {
  if (std::isnan(x) || std::isinf(x)) {
    *sine = *cosine = x - x;
    return;
  }
  if (x == 0.0) {  // keeps the zero's sign
    *sine = x;
    *cosine = 1.0;
    return;
  }
  DD r;
  const int q = reduce(x, &r);
  double s;
  double c;
  if (std::fabs(x) < kModerate) {
    sinCosFast(r, &s, &c);
  } else {
    DD ss;
    DD cc;
    sinCosSeries(r, &ss, &cc);
    s = ss.hi;
    c = cc.hi;
  }
  place(q, s, c, sine, cosine, negD);
}

double tmath_sin(double x) {
  double s;
  double c;
  tmath_sincos(x, &s, &c);
  return s;
}

double tmath_cos(double x) {
  double s;
  double c;
  tmath_sincos(x, &s, &c);
  return c;
}

void tmath_sincosf(float xf, float* sine, float* cosine) {
  const double x = xf;
  if (std::isnan(x) || std::isinf(x)) {
    *sine = *cosine = xf - xf;
    return;
  }
  if (xf == 0.0f) {  // keeps the zero's sign
    *sine = xf;
    *cosine = 1.0f;
    return;
  }
  DD r;
  const int q = reduce(x, &r);
  float s;
  float c;
  // The reduced argument is within 2^-97 of the true one: relative to a
  // reduced argument above 2^-40 that is far inside the margin. Zero
  // quotients reduce exactly.
  if (std::fabs(x) < kModerate && (std::fabs(r.hi) > 0x1p-40 || std::fabs(x) < 0.7)) {
    double sd;
    double cd;
    sinCosFast(r, &sd, &cd);
    if (settledFloat(sd, &s) && settledFloat(cd, &c)) {
      place(q, s, c, sine, cosine, +[](float v) { return -v; });
      return;
    }
  }
  DD ss;
  DD cc;
  sinCosSeries(r, &ss, &cc);
  place(q, nearestFloat(ss), nearestFloat(cc), sine, cosine, +[](float v) { return -v; });
}

float tmath_sinf(float x) {
  float s;
  float c;
  tmath_sincosf(x, &s, &c);
  return s;
}

float tmath_cosf(float x) {
  float s;
  float c;
  tmath_sincosf(x, &s, &c);
  return c;
}

double tmath_atan2(double y, double x) {
  if (std::isnan(x) || std::isnan(y)) return x + y;
  const double ay = std::fabs(y);
  const double ax = std::fabs(x);
  // The angle of (|x|, |y|), in [0, pi/2].
  DD a;
  if (ay == 0.0) {
    a = {0.0, 0.0};
  } else if (std::isinf(ay)) {
    a = std::isinf(ax) ? kQuarterPi : kHalfPi;
  } else if (ax == 0.0) {
    a = kHalfPi;
  } else if (std::isinf(ax)) {
    a = {0.0, 0.0};
  } else if (ay <= ax) {
    a = atanRatio(ay, ax);
  } else {
    a = add(kHalfPi, neg(atanRatio(ax, ay)));
  }
  if (std::signbit(x)) a = add(kPi, neg(a));
  const double angle = a.hi + a.lo;
  return std::signbit(y) ? -angle : angle;
}

double tmath_exp2(double x) {
  if (std::isnan(x)) return x + x;
  if (x > 1024.0) return HUGE_VAL;
  if (x < -1080.0) return 0.0;
  const double n = std::floor(x + 0.5);
  // 2^f = e^(f ln 2), |f ln 2| <= 0.35: 27 terms reach 2^-120.
  const DD z = mul(kLn2, {x - n, 0.0});
  DD term = {1.0, 0.0};
  DD sum = {1.0, 0.0};
  for (int k = 1; k <= 27; ++k) {
    term = divD(mul(term, z), static_cast<double>(k));
    sum = add(sum, term);
  }
  return std::ldexp(sum.hi, static_cast<int>(n));
}
