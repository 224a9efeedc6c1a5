// Deterministic elementary functions: the engine's own sine, cosine,
// arctangent and power of two, giving the same bits with every compiler, C
// library and processor.
//
// The C libraries round these functions differently from one another (and a
// library may change its rounding from one release to the next), so the exact
// mode's output would depend on where it runs. These are written from the
// definitions in plain IEEE double arithmetic: separately rounded sums and
// products only (the build forbids contraction into fused multiply-adds), no
// long double, no table that depends on the host.
//
// - tmath_sinf, tmath_cosf, tmath_sincosf are correctly rounded for every
//   float argument: a double evaluation whose error bound decides the
//   rounding, and a double-double one (about 100 bits) where it cannot.
// - tmath_sin, tmath_cos, tmath_sincos, tmath_atan2 and tmath_exp2 are within
//   one unit in the last place of a double (tmath_exp2 correctly rounded on
//   the arguments the engine uses); special values follow C's annex F.
//
// Owns: nothing (pure functions; constants only).
// Threads: any thread may call any function at any time.
// Audio path: they allocate, lock and log nothing.
#pragma once

float tmath_sinf(float x);
float tmath_cosf(float x);
void tmath_sincosf(float x, float* sine, float* cosine);

double tmath_sin(double x);
double tmath_cos(double x);
void tmath_sincos(double x, double* sine, double* cosine);
double tmath_atan2(double y, double x);
double tmath_exp2(double x);
