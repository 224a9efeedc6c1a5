// A store-buffering litmus test, for checking an emulator's memory ordering
// (scripts/cross.sh's skip list): build it for the target, run it under the
// emulator with and without an argument after the count.
// Store buffering: x = 1; r1 = y  ||  y = 1; r2 = x. With seq_cst both
// loads reading 0 is forbidden. On aarch64 the compiler emits stlr/ldar.
#include <atomic>
#include <cstdio>
#include <thread>
#include <cstdlib>
std::atomic<int> x, y, go;
int r1, r2;
int main(int argc, char** argv) {
  const int iters = argc > 1 ? atoi(argv[1]) : 200000;
  const bool fence = argc > 2;
  int forbidden = 0;
  std::atomic<int> phase{0}, done{0};
  std::thread t([&] {
    for (int i = 1; i <= iters; i++) {
      while (phase.load(std::memory_order_acquire) != 2 * i - 1) {}
      y.store(1, std::memory_order_seq_cst);
      if (fence) std::atomic_thread_fence(std::memory_order_seq_cst);
      r2 = x.load(std::memory_order_seq_cst);
      done.fetch_add(1, std::memory_order_acq_rel);
    }
  });
  for (int i = 1; i <= iters; i++) {
    x.store(0, std::memory_order_relaxed); y.store(0, std::memory_order_relaxed);
    done.store(0, std::memory_order_release);
    phase.store(2 * i - 1, std::memory_order_release);
    x.store(1, std::memory_order_seq_cst);
    if (fence) std::atomic_thread_fence(std::memory_order_seq_cst);
    r1 = y.load(std::memory_order_seq_cst);
    while (done.load(std::memory_order_acquire) != 1) {}
    if (r1 == 0 && r2 == 0) forbidden++;
  }
  t.join();
  printf("%s: %d of %d iterations saw r1 == r2 == 0\n", fence ? "with dmb" : "stlr/ldar", forbidden, iters);
}
