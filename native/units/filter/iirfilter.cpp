// The voice-removal filter pair: records, stepping and the coefficient handshake.
#include "iirfilter.h"

#include <atomic>
#include <mutex>
#include <new>
#include <utility>

#include "iirfilter_testing.h"

struct IirState {
  IirResult initFilters(const double* ca, const double* cb, int sizeA, int sizeB);
  double step(int channel, double inputValue);
  void stepPairBlock(const double* in0, const double* in1, double* out0, double* out1, int count);
  void waitForStep(int channel) const;
  template <int kN>
  int filterPairInRegisters(const double* in0, const double* in1, double* out0, double* out1, int i,
                            int count);
  bool pairOfOrder(int n) const;
  ~IirState();

  // Zero-initialised: both records start empty (null arrays, zero counts), so
  // nothing needs clearing later and nothing loaded is ever lost.
  iirFilter iirLeft{};
  iirFilter iirRight{};

  // Raised while a setter swaps the records; each step raises its channel's
  // flag before it tests this one (see iir_step).
  std::atomic<int> inFilterSetup{0};
  std::atomic<int> inFilterProcess[2] = {{0}, {0}};

  std::atomic<bool> coefficientsLoaded{false};

  // The set-up flag is an on/off value, so setters must not overlap; they wait
  // for each other here. The playback thread never takes this lock.
  std::mutex setterMutex;
};

namespace {

inline void cpuRelax() {
#if defined(__x86_64__) || defined(__i386__)
  __builtin_ia32_pause();
#endif
}

void releaseRecord(iirFilter& f) {
  delete[] f.a;
  delete[] f.b;
  delete[] f.buf1;
  delete[] f.buf2;
  f = iirFilter{};
}

// Zeroed array of n doubles; null for n == 0 (never touched then) or when
// the allocation fails (reported through ok).
double* newDoubles(int n, bool& ok) {
  if (n <= 0) return nullptr;
  double* p = new (std::nothrow) double[n]();
  if (p == nullptr) ok = false;
  return p;
}

bool validArguments(const double* ca, const double* cb, int sizeA, int sizeB) {
  return ca != nullptr && cb != nullptr && sizeA >= 1 && sizeB >= 1;
}

// Builds a complete record from scratch into out (which must be empty), so
// that a failure never touches a record in use.
IirResult buildRecord(iirFilter& out, const double* ca, const double* cb, int sizeA, int sizeB) {
  bool ok = true;
  out.a = newDoubles(sizeA, ok);
  out.b = newDoubles(sizeB, ok);
  out.n1 = sizeB - 1;
  out.n2 = sizeA - 1;
  out.buf1 = newDoubles(out.n1, ok);
  out.buf2 = newDoubles(out.n2, ok);
  if (!ok) {
    releaseRecord(out);
    return IIR_OUT_OF_MEMORY;
  }
  for (int i = 0; i < sizeA; i++) out.a[i] = ca[i];
  for (int i = 0; i < sizeB; i++) out.b[i] = cb[i];
  out.pos1 = 0;
  out.pos2 = 0;
  return IIR_OK;
}

}  // namespace

// Spins until the step of that channel that may have begun before the set-up
// flag rose has left the record.
void IirState::waitForStep(int channel) const {
  while (inFilterProcess[channel].load(std::memory_order_seq_cst) != 0) cpuRelax();
}

namespace {

// One sample through a loaded record: the direct form I recurrence, the
// feed-forward sum first, both sums in increasing i. Each history is walked
// back from its newest value, wrapping at the start: slot (n + pos - i) mod n
// for i = 1 .. n, without a division.
template <int kN1, int kN2>
double filterFixed(iirFilter& f, double x);

double filterSample(iirFilter& f, double x) {
  // The usual second- and fourth-order sets, unrolled; the same operations.
  if (f.n1 == 4 && f.n2 == 4) return filterFixed<4, 4>(f, x);
  if (f.n1 == 2 && f.n2 == 2) return filterFixed<2, 2>(f, x);
  const int n1 = f.n1;
  const int n2 = f.n2;
  double acc = f.b[0] * x;
  for (int i = 1, slot = f.pos1; i <= n1; i++) {
    slot = slot == 0 ? n1 - 1 : slot - 1;
    acc = acc + f.b[i] * f.buf1[slot];
  }
  for (int i = 1, slot = f.pos2; i <= n2; i++) {
    slot = slot == 0 ? n2 - 1 : slot - 1;
    acc = acc - f.a[i] * f.buf2[slot];
  }
  if (n1 > 0) {
    f.buf1[f.pos1] = x;
    f.pos1 = f.pos1 + 1 == n1 ? 0 : f.pos1 + 1;
  }
  if (n2 > 0) {
    f.buf2[f.pos2] = acc;
    f.pos2 = f.pos2 + 1 == n2 ? 0 : f.pos2 + 1;
  }
  return acc;
}

// filterSample for histories of fixed lengths.
template <int kN1, int kN2>
double filterFixed(iirFilter& f, double x) {
  double acc = f.b[0] * x;
#pragma GCC unroll 8
  for (int i = 1, slot = f.pos1; i <= kN1; i++) {
    slot = slot == 0 ? kN1 - 1 : slot - 1;
    acc = acc + f.b[i] * f.buf1[slot];
  }
#pragma GCC unroll 8
  for (int i = 1, slot = f.pos2; i <= kN2; i++) {
    slot = slot == 0 ? kN2 - 1 : slot - 1;
    acc = acc - f.a[i] * f.buf2[slot];
  }
  f.buf1[f.pos1] = x;
  f.pos1 = f.pos1 + 1 == kN1 ? 0 : f.pos1 + 1;
  f.buf2[f.pos2] = acc;
  f.pos2 = f.pos2 + 1 == kN2 ? 0 : f.pos2 + 1;
  return acc;
}

}  // namespace

// Both filters of a pair of order kN (kN past inputs and outputs each) over
// samples [i, count): the histories live in registers, newest first, for
// the same products and sums in the same order as filterFixed, and go back
// to the records' rings when the run ends. Stops where the setter's flag is
// seen, for the caller's per-sample loop to take over; returns the index
// reached.
template <int kN>
int IirState::filterPairInRegisters(const double* in0, const double* in1, double* out0, double* out1, int i,
                                    int count) {
  iirFilter& f0 = iirLeft;
  iirFilter& f1 = iirRight;
  if (i >= count || inFilterSetup.load(std::memory_order_seq_cst) != 0) return i;
  double b0[kN + 1], a0[kN + 1], b1[kN + 1], a1[kN + 1];
  double x0[kN], y0[kN], x1[kN], y1[kN];
  for (int j = 0; j <= kN; j++) {
    b0[j] = f0.b[j];
    a0[j] = f0.a[j];
    b1[j] = f1.b[j];
    a1[j] = f1.a[j];
  }
  for (int j = 1, s0 = f0.pos1, t0 = f0.pos2, s1 = f1.pos1, t1 = f1.pos2; j <= kN; j++) {
    s0 = s0 == 0 ? kN - 1 : s0 - 1;
    t0 = t0 == 0 ? kN - 1 : t0 - 1;
    s1 = s1 == 0 ? kN - 1 : s1 - 1;
    t1 = t1 == 0 ? kN - 1 : t1 - 1;
    x0[j - 1] = f0.buf1[s0];
    y0[j - 1] = f0.buf2[t0];
    x1[j - 1] = f1.buf1[s1];
    y1[j - 1] = f1.buf2[t1];
  }
  const int start = i;
  for (;;) {
    const double in0i = in0[i];
    const double in1i = in1[i];
    double acc0 = b0[0] * in0i;
    double acc1 = b1[0] * in1i;
#pragma GCC unroll 8
    for (int j = 1; j <= kN; j++) {
      acc0 = acc0 + b0[j] * x0[j - 1];
      acc1 = acc1 + b1[j] * x1[j - 1];
    }
#pragma GCC unroll 8
    for (int j = 1; j <= kN; j++) {
      acc0 = acc0 - a0[j] * y0[j - 1];
      acc1 = acc1 - a1[j] * y1[j - 1];
    }
#pragma GCC unroll 8
    for (int j = kN - 1; j > 0; j--) {
      x0[j] = x0[j - 1];
      y0[j] = y0[j - 1];
      x1[j] = x1[j - 1];
      y1[j] = y1[j - 1];
    }
    x0[0] = in0i;
    y0[0] = acc0;
    x1[0] = in1i;
    y1[0] = acc1;
    out0[i] = acc0;
    out1[i] = acc1;
    if (++i == count || inFilterSetup.load(std::memory_order_seq_cst) != 0) break;
  }
  // Each record's position moves by one per sample; the newest value sits
  // just before it.
  const int moved = (i - start) % kN;
  f0.pos1 = (f0.pos1 + moved) % kN;
  f0.pos2 = (f0.pos2 + moved) % kN;
  f1.pos1 = (f1.pos1 + moved) % kN;
  f1.pos2 = (f1.pos2 + moved) % kN;
  for (int j = 1, s0 = f0.pos1, t0 = f0.pos2, s1 = f1.pos1, t1 = f1.pos2; j <= kN; j++) {
    s0 = s0 == 0 ? kN - 1 : s0 - 1;
    t0 = t0 == 0 ? kN - 1 : t0 - 1;
    s1 = s1 == 0 ? kN - 1 : s1 - 1;
    t1 = t1 == 0 ? kN - 1 : t1 - 1;
    f0.buf1[s0] = x0[j - 1];
    f0.buf2[t0] = y0[j - 1];
    f1.buf1[s1] = x1[j - 1];
    f1.buf2[t1] = y1[j - 1];
  }
  return i;
}

bool IirState::pairOfOrder(int n) const {
  return iirLeft.b != nullptr && iirRight.b != nullptr && iirLeft.n1 == n && iirLeft.n2 == n &&
         iirRight.n1 == n && iirRight.n2 == n;
}

IirState* iir_create() {
  return new (std::nothrow) IirState();
}

void iir_destroy(IirState* state) {
  delete state;
}

IirState::~IirState() {
  releaseRecord(iirLeft);
  releaseRecord(iirRight);
}

void iir_init(IirState&) {
  // Nothing to do: the records were empty at creation, and clearing them here
  // would drop (and leak) coefficients that the user interface handed over
  // before the engine's first set-up.
}

IirResult iir_init_filter(iirFilter* filter, const double* ca, const double* cb, int sizeA, int sizeB) {
  if (filter == nullptr || !validArguments(ca, cb, sizeA, sizeB)) return IIR_INVALID_ARGUMENT;
  iirFilter fresh{};
  IirResult r = buildRecord(fresh, ca, cb, sizeA, sizeB);
  if (r != IIR_OK) return r;
  std::swap(*filter, fresh);
  releaseRecord(fresh);
  return IIR_OK;
}

IirResult iir_init_filters(IirState& state, const double* ca, const double* cb, int sizeA, int sizeB) {
  return state.initFilters(ca, cb, sizeA, sizeB);
}

IirResult IirState::initFilters(const double* ca, const double* cb, int sizeA, int sizeB) {
  if (!validArguments(ca, cb, sizeA, sizeB)) return IIR_INVALID_ARGUMENT;
  std::lock_guard<std::mutex> setterLock(setterMutex);

  // Allocate and copy first: the playback thread passes samples through for
  // as long as the set-up flag is up, so it covers only the swaps.
  iirFilter left{};
  iirFilter right{};
  IirResult r = buildRecord(left, ca, cb, sizeA, sizeB);
  if (r == IIR_OK) r = buildRecord(right, ca, cb, sizeA, sizeB);
  if (r != IIR_OK) {
    releaseRecord(left);
    return r;
  }

  inFilterSetup.store(1, std::memory_order_seq_cst);
  waitForStep(0);
  std::swap(iirLeft, left);
  waitForStep(1);
  std::swap(iirRight, right);
  coefficientsLoaded.store(true, std::memory_order_seq_cst);
  inFilterSetup.store(0, std::memory_order_seq_cst);

  // The old arrays are no longer reachable from the records.
  releaseRecord(left);
  releaseRecord(right);
  return IIR_OK;
}

double iir_step(IirState& state, int channel, double inputValue) {
  return state.step(channel, inputValue);
}

double IirState::step(int channel, double inputValue) {
  const int ch = channel != 0 ? 1 : 0;
  const double x = inputValue;

  // Raise our flag before testing the setter's: with both sequentially
  // consistent, either the setter sees our flag and waits for us, or we see
  // its flag and stay off the record.
  inFilterProcess[ch].store(1, std::memory_order_seq_cst);
  if (inFilterSetup.load(std::memory_order_seq_cst) != 0) {
    inFilterProcess[ch].store(0, std::memory_order_seq_cst);
    return x;
  }

  iirFilter& f = ch != 0 ? iirRight : iirLeft;
  if (f.b == nullptr) {
    inFilterProcess[ch].store(0, std::memory_order_seq_cst);
    return x;
  }

  const double acc = filterSample(f, x);

  // Lowering the flag needs only release order: the setter waits until it
  // reads 0, and must then find every access above completed.
  inFilterProcess[ch].store(0, std::memory_order_release);
  return acc;
}

void iir_step_pair_block(IirState& state, const double* in0, const double* in1, double* out0, double* out1,
                         int count) {
  state.stepPairBlock(in0, in1, out0, out1, count);
}

void IirState::stepPairBlock(const double* in0, const double* in1, double* out0, double* out1, int count) {
  // Both flags go up once, before the first test of the setter's flag, so
  // the handshake of iir_step holds for every sample of the block: either the
  // setter sees a flag up and waits, or this loop sees the setter's flag.
  // On seeing it, the loop gets out of the setter's way at once and leaves
  // the rest of the block to iir_step.
  inFilterProcess[0].store(1, std::memory_order_seq_cst);
  inFilterProcess[1].store(1, std::memory_order_seq_cst);
  int i = 0;
  // The usual Butterworth pairs keep their histories in registers. The
  // records may be read only once the setter's flag has been seen down.
  if (inFilterSetup.load(std::memory_order_seq_cst) == 0) {
    if (pairOfOrder(4)) {
      i = filterPairInRegisters<4>(in0, in1, out0, out1, 0, count);
    } else if (pairOfOrder(2)) {
      i = filterPairInRegisters<2>(in0, in1, out0, out1, 0, count);
    }
  }
  for (; i < count; i++) {
    if (inFilterSetup.load(std::memory_order_seq_cst) != 0) break;
    out0[i] = iirLeft.b != nullptr ? filterSample(iirLeft, in0[i]) : in0[i];
    out1[i] = iirRight.b != nullptr ? filterSample(iirRight, in1[i]) : in1[i];
  }
  inFilterProcess[0].store(0, std::memory_order_release);
  inFilterProcess[1].store(0, std::memory_order_release);
  for (; i < count; i++) {
    out0[i] = step(0, in0[i]);
    out1[i] = step(1, in1[i]);
  }
}

bool iir_has_coefficients(const IirState& state) {
  return state.coefficientsLoaded.load(std::memory_order_seq_cst);
}

const iirFilter& iir_filter(const IirState& state, int channel) {
  return channel != 0 ? state.iirRight : state.iirLeft;
}

void iir_hold_setup(IirState& state, bool held) {
  state.inFilterSetup.store(held ? 1 : 0, std::memory_order_seq_cst);
}
