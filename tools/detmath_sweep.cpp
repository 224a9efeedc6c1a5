// Sweeps float arguments of tmath_sincosf against the C library's long double
// sine and cosine (64 significant bits or more on glibc), printing every
// argument whose float differs; those are then settled in high precision
// (tools/detmath_constants.py has the mpmath set-up). Not a test: a full sweep
// of the 2^32 patterns takes an hour of one core.
//
//   detmath_sweep FIRST LAST     bit patterns FIRST..LAST (hex, inclusive)
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "detmath.h"

int main(int argc, char** argv) {
  if (argc != 3) {
    std::fprintf(stderr, "usage: detmath_sweep FIRST LAST (hex bit patterns)\n");
    return 2;
  }
  const uint64_t first = std::strtoull(argv[1], nullptr, 16);
  const uint64_t last = std::strtoull(argv[2], nullptr, 16);
  uint64_t checked = 0;
  uint64_t differing = 0;
  for (uint64_t pattern = first; pattern <= last; ++pattern) {
    const uint32_t bits = static_cast<uint32_t>(pattern);
    float x;
    std::memcpy(&x, &bits, sizeof x);
    if (std::isnan(x)) continue;
    float s;
    float c;
    tmath_sincosf(x, &s, &c);
    const float rs = static_cast<float>(sinl(x));
    const float rc = static_cast<float>(cosl(x));
    ++checked;
    if (std::memcmp(&s, &rs, sizeof s) != 0 || std::memcmp(&c, &rc, sizeof c) != 0) {
      ++differing;
      std::printf("%08x %a: sin %a (reference %a), cos %a (reference %a)\n", bits, x, s, rs, c, rc);
    }
  }
  std::printf("checked %llu arguments, %llu differ\n", static_cast<unsigned long long>(checked),
              static_cast<unsigned long long>(differing));
  return differing == 0 ? 0 : 1;
}
