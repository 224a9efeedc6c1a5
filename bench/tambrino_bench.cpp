// Throughput of the engine, measured through its JNI entry points, and the
// cost of its inner units.
//
//   tambrino_bench --fast LIB.so [--plain REF.so] [--plain-bench REF_BENCH]
//                  [--seconds S] [--runs N]
//   tambrino_bench --fast LIB.so --fine-only [--seconds S] [--runs N]
//                                   the fine mode's rows, once per
//                                   instruction set of this processor
//   tambrino_bench --fast LIB.so --peers-only [--before OLD.so] [--seconds S] [--runs N]
//                                   the fine mode per instruction set
//                                   beside SoundTouch, when built with it
//                                   (and an earlier build's, before, in the
//                                   same rounds)
//   tambrino_bench --units-only     unit costs of the engine linked in, as
//                                   "unit NAME MICROSECONDS" lines
//   tambrino_bench --fast LIB.so --profile QUALITY FRAME OVERSAMPLING TEMPO [--no-spectrum]
//                  [--seconds S]    one quality mode's case in this process
//                                   (no child), for a profiler such as
//                                   valgrind --tool=callgrind; TAMBRINO_CPU
//                                   as set in the environment
//
// Each run of a library is a process of its own (NativeInterface's entry
// points act on the process's default engine). The two libraries are loaded privately with dlopen and run
// alternately, so both see the same machine conditions; the best run of each
// counts. The fast library runs once per instruction set this processor has,
// chosen by TAMBRINO_CPU as it is loaded (the reference library runs with the
// same setting, which it may ignore). Times are wall-clock (steady_clock)
// around dspProcess only: making the input and polling are left out.
#include <malloc.h>

#include <algorithm>
#include <chrono>
#include <cinttypes>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "../tests/support/default_engine.h"
#include "cpu_testing.h"
#include "engine.h"
#include "engine_loader.h"
#include "eq.h"
#include "fft.h"
#include "realfft.h"
#include "spectrum.h"
#include "vocoder.h"

#ifdef TAMBRINO_BENCH_SOUNDTOUCH
#include <soundtouch/SoundTouch.h>
#endif

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t0) {
  return std::chrono::duration<double>(Clock::now() - t0).count();
}

// Runs fn in a child process and returns its trivially copyable result.
template <typename T, typename Fn>
bool inChild(Fn fn, T& result) {
  int fds[2];
  if (pipe(fds) != 0) return false;
  std::fflush(nullptr);  // or the child would write the parent's buffered output again
  const pid_t pid = fork();
  if (pid < 0) return false;
  if (pid == 0) {
    close(fds[0]);
    T r = fn();
    const ssize_t w = write(fds[1], &r, sizeof(T));
    _exit(w == static_cast<ssize_t>(sizeof(T)) ? 0 : 3);
  }
  close(fds[1]);
  size_t got = 0;
  unsigned char* p = reinterpret_cast<unsigned char*>(&result);
  while (got < sizeof(T)) {
    const ssize_t n = read(fds[0], p + got, sizeof(T) - got);
    if (n <= 0) break;
    got += static_cast<size_t>(n);
  }
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  return got == sizeof(T) && WIFEXITED(status) && WEXITSTATUS(status) == 0;
}

// ---------------------------------------------------------------------------
// Whole pipeline.

struct PipelineCase {
  const char* title;
  const char* detail;
  int channels;
  int frameSize;
  int overSampling;
  int rate;
  int stepOut;  // per stepIn = frameSize / overSampling
  int hopsPerBlock;
  bool equaliser;
  bool voiceRemoval;
};

const PipelineCase kCases[] = {
    {"stereo 44.1 kHz 2048/4 tempo 0.75", "spectrum, equaliser, voice removal on", 2, 2048, 4, 44100, 683, 4,
     true, true},
    {"mono 44.1 kHz 4096/8 tempo 0.75", "spectrum on", 1, 4096, 8, 44100, 683, 4, false, false},
};

struct PipelineResult {
  double seconds;       // total time inside dspProcess
  double worstBlock;    // longest single dspProcess call, seconds
  double audioSeconds;  // output duration
  double blockSeconds;  // output duration of one block
  int blocks;
  int ok;
  double cpuSeconds;  // processor time of the calling thread inside dspProcess (quality modes)
};

double threadCpuSeconds() {
  timespec t{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &t);
  return static_cast<double>(t.tv_sec) + 1e-9 * static_cast<double>(t.tv_nsec);
}

PipelineResult runPipeline(const golden::EngineApi& api, const PipelineCase& c, double seconds) {
  PipelineResult r{};
  golden::Driver d(api, nullptr);
  d.init(c.frameSize, c.overSampling, c.rate, c.channels);
  if (c.voiceRemoval) {
    d.voiceRemovalFilter(golden::bandPass4());
    d.voiceRemoval(1);
    d.voiceRemovalAmount(0.8f);
  }
  if (c.equaliser) {
    d.eqBands(golden::eqCurve(c.frameSize / 2));
    d.eq(1);
  }
  d.spectrum(1);
  const int stepIn = c.frameSize / c.overSampling;
  const int samplesIn = c.hopsPerBlock * stepIn;
  const int samplesOut = c.hopsPerBlock * c.stepOut;
  const int blocks = static_cast<int>(seconds * c.rate / samplesIn);
  for (int b = 0; b < blocks; b++) {
    jshortArray arr = d.prepare(samplesIn, samplesOut);
    const auto t0 = Clock::now();
    d.processPrepared(arr, samplesIn, samplesOut);
    const double t = secondsSince(t0);
    r.seconds += t;
    if (t > r.worstBlock) r.worstBlock = t;
  }
  r.blocks = blocks;
  r.blockSeconds = static_cast<double>(samplesOut) / c.rate;
  r.audioSeconds = r.blockSeconds * blocks;
  r.ok = 1;
  return r;
}

// In a child process: the library loaded with TAMBRINO_CPU set to cpu.
bool loadCapped(const std::string& lib, const char* cpu, golden::EngineApi& api) {
  setenv("TAMBRINO_CPU", cpu, 1);
  std::string error;
  if (bench::loadEngine(lib, api, error)) return true;
  std::fprintf(stderr, "%s\n", error.c_str());
  return false;
}

// cpu: the value of TAMBRINO_CPU for the library.

bool pipelineInChild(const std::string& lib, const char* cpu, const PipelineCase& c, double seconds,
                     PipelineResult& out) {
  return inChild<PipelineResult>(
             [&] {
               golden::EngineApi api;
               if (!loadCapped(lib, cpu, api)) return PipelineResult{};
               return runPipeline(api, c, seconds);
             },
             out) &&
         out.ok;
}

// ---------------------------------------------------------------------------
// The two quality modes of this build side by side, as the command-line tool
// drives them: stereo 44.1 kHz, spectrum on, blocks of 4096 input frames;
// the exact mode at its 2048/4 with whole synthesis hops per block, the fine
// mode at 4096/8 with each block's output by cumulative rounding.

struct ModeCase {
  const char* title;
  int quality;
  int frameSize;
  int overSampling;
  double tempo;
  float pitch;  // semitones of transposition (fine mode)
  bool spectrum = true;
};

const ModeCase kModeCases[] = {
    {"exact 2048/4, tempo 1.0", 0, 2048, 4, 1.0, 0.0f},   {"fine 4096/8, tempo 1.0", 1, 4096, 8, 1.0, 0.0f},
    {"exact 2048/4, tempo 0.75", 0, 2048, 4, 0.75, 0.0f}, {"fine 4096/8, tempo 0.75", 1, 4096, 8, 0.75, 0.0f},
    {"exact 2048/4, tempo 0.5", 0, 2048, 4, 0.5, 0.0f},   {"fine 4096/8, tempo 0.5", 1, 4096, 8, 0.5, 0.0f},
    {"fine 4096/8, tempo 0.75, +5 semitones", 1, 4096, 8, 0.75, 5.0f},
    {"fine 4096/8, tempo 0.75, -5 semitones", 1, 4096, 8, 0.75, -5.0f},
};

PipelineResult runMode(const golden::EngineApi& api, void (*qualityMode)(JNIEnv*, jobject, jint),
                       void (*pitchShift)(JNIEnv*, jobject, jfloat), const ModeCase& c, double seconds) {
  PipelineResult r{};
  golden::Driver d(api, nullptr);
  const int rate = 44100;
  d.init(c.frameSize, c.overSampling, rate, 2);
  d.spectrum(c.spectrum ? 1 : 0);
  fakejni::Env env;
  qualityMode(&env, nullptr, c.quality);
  if (!env.takeException().empty()) return r;
  if (c.pitch != 0.0f) {
    if (pitchShift == nullptr) return r;
    pitchShift(&env, nullptr, c.pitch);
    if (!env.takeException().empty()) return r;
  }
  const int samplesIn = 4096;
  const int stepIn = c.frameSize / c.overSampling;
  const long hopOut = std::lround(stepIn / c.tempo);
  const int blocks = static_cast<int>(seconds * rate / samplesIn);
  long totalOut = 0;
  for (int b = 0; b < blocks; b++) {
    const long samplesOut = c.quality == 0 ? samplesIn / stepIn * hopOut
                                           : std::lround((b + 1.0) * samplesIn / c.tempo) - totalOut;
    jshortArray arr = d.prepare(samplesIn, static_cast<int>(samplesOut));
    const double c0 = threadCpuSeconds();
    const auto t0 = Clock::now();
    d.processPrepared(arr, samplesIn, static_cast<int>(samplesOut));
    const double t = secondsSince(t0);
    r.cpuSeconds += threadCpuSeconds() - c0;
    r.seconds += t;
    if (t > r.worstBlock) r.worstBlock = t;
    totalOut += samplesOut;
  }
  r.blocks = blocks;
  r.audioSeconds = static_cast<double>(totalOut) / rate;
  r.blockSeconds = r.audioSeconds / blocks;
  r.ok = 1;
  return r;
}

bool modeInChild(const std::string& lib, const char* cpu, const ModeCase& c, double seconds,
                 PipelineResult& out) {
  return inChild<PipelineResult>(
             [&] {
               golden::EngineApi api;
               if (!loadCapped(lib, cpu, api)) return PipelineResult{};
               void* handle = dlopen(lib.c_str(), RTLD_NOW | RTLD_LOCAL);
               auto qualityMode = reinterpret_cast<void (*)(JNIEnv*, jobject, jint)>(
                   handle ? dlsym(handle, "Java_quorvel_tambrino_NativeInterface_dspQualityMode") : nullptr);
               if (qualityMode == nullptr) {
                 std::fprintf(stderr, "%s: no quality modes\n", lib.c_str());
                 return PipelineResult{};
               }
               auto pitchShift = reinterpret_cast<void (*)(JNIEnv*, jobject, jfloat)>(
                   dlsym(handle, "Java_quorvel_tambrino_NativeInterface_dspPitchShift"));
               return runMode(api, qualityMode, pitchShift, c, seconds);
             },
             out) &&
         out.ok;
}

// ---------------------------------------------------------------------------
// The fine mode against a time-domain stretcher (SoundTouch, when the
// benchmark was built with it: for comparison only, never linked into the
// engine), each fed the same synthetic music in blocks of 4096 input frames.
// SoundTouch is timed around putSamples and receiveSamples on float
// samples it is handed ready; the engine's time includes its 16-bit
// conversions and its spectrum analyser (on, as the command-line tool runs
// it), so the comparison leans, if anything, in SoundTouch's favour.

const double kPeerTempos[] = {0.75, 1.25};

PipelineResult runSoundTouch(double tempo, double seconds) {
  PipelineResult r{};
#ifdef TAMBRINO_BENCH_SOUNDTOUCH
  const int rate = 44100;
  const int samplesIn = 4096;
  const int blocks = static_cast<int>(seconds * rate / samplesIn);
  golden::Synth synth(2, rate, 12345, 1.0);
  std::vector<int16_t> pcm(static_cast<size_t>(samplesIn) * 2);
  std::vector<float> in(pcm.size());
  std::vector<float> out(static_cast<size_t>(samplesIn) * 2 * 8);
  soundtouch::SoundTouch st;
  st.setSampleRate(rate);
  st.setChannels(2);
  st.setTempo(tempo);
  long totalOut = 0;
  for (int b = 0; b < blocks; b++) {
    synth.render(pcm.data(), samplesIn);
    for (size_t i = 0; i < pcm.size(); i++) in[i] = static_cast<float>(pcm[i]) * (1.0f / 32768.0f);
    const double c0 = threadCpuSeconds();
    const auto t0 = Clock::now();
    st.putSamples(in.data(), samplesIn);
    long got = 0;
    for (unsigned n; (n = st.receiveSamples(out.data(), samplesIn * 4)) > 0;) got += n;
    const double t = secondsSince(t0);
    r.cpuSeconds += threadCpuSeconds() - c0;
    r.seconds += t;
    if (t > r.worstBlock) r.worstBlock = t;
    totalOut += got;
  }
  r.blocks = blocks;
  r.audioSeconds = static_cast<double>(totalOut) / rate;
  r.blockSeconds = r.audioSeconds / blocks;
  r.ok = 1;
#else
  (void)tempo;
  (void)seconds;
#endif
  return r;
}

constexpr bool kWithSoundTouch =
#ifdef TAMBRINO_BENCH_SOUNDTOUCH
    true;
#else
    false;
#endif

// ---------------------------------------------------------------------------
// Engines of this build side by side: each streams the first pipeline case on
// a thread of its own, all starting together; the throughput is the output
// audio of all of them over the wall-clock time until the last one is done.

struct ParallelResult {
  double audioSeconds;
  double wallSeconds;
  double cpuSeconds;  // the threads' own processor time, summed
  int ok;
};

// An engine set up as the first pipeline case: stereo 2048/4 at 44.1 kHz with
// the spectrum, the equaliser and voice removal on. Null on failure.
Engine* caseEngine(int frameSize, int overSampling) {
  Engine* e = engine_create();
  if (e == nullptr) return nullptr;
  const golden::Coefficients c = golden::bandPass4();
  const std::vector<float> gains = golden::eqCurve(frameSize / 2);
  if (pipeline_init(*e->pipeline, frameSize, overSampling, 44100, 2) != PipelineStatus::Ok ||
      iir_init_filters(*e->iir, c.a.data(), c.b.data(), static_cast<int>(c.a.size()),
                       static_cast<int>(c.b.size())) != IIR_OK) {
    engine_destroy(e);
    return nullptr;
  }
  pipeline_set_voice_removal(*e->pipeline, true);
  pipeline_set_voice_removal_amount(*e->pipeline, 0.8f);
  eq_setbands(*e->eq, gains.data());
  eq_enable(*e->eq, 1);
  return e;
}

ParallelResult runEngines(int count, double seconds, CpuLevel level) {
  cpu_cap_for_testing(level);
  const PipelineCase& c = kCases[0];
  const int stepIn = c.frameSize / c.overSampling;
  const int samplesIn = c.hopsPerBlock * stepIn;
  const int samplesOut = c.hopsPerBlock * c.stepOut;
  const int blocks = static_cast<int>(seconds * c.rate / samplesIn);
  std::vector<Engine*> engines;
  for (int i = 0; i < count; i++) engines.push_back(caseEngine(c.frameSize, c.overSampling));
  ParallelResult r{};
  r.ok = 1;
  for (Engine* e : engines) r.ok = r.ok && e != nullptr;
  if (!r.ok) return r;
  // The input of each engine: the synthetic music, rendered ahead.
  golden::Synth synth(2, c.rate, 12345, 1.0);
  std::vector<int16_t> music(static_cast<size_t>(samplesIn) * 2 * 64);
  synth.render(music.data(), samplesIn * 64);
  std::vector<std::thread> threads;
  std::vector<double> cpu(engines.size(), 0.0);
  const auto t0 = Clock::now();
  for (size_t i = 0; i < engines.size(); i++) {
    threads.emplace_back([&, i] {
      const double c0 = threadCpuSeconds();
      std::vector<int16_t> block(static_cast<size_t>(std::max(samplesIn, samplesOut)) * 2);
      for (int b = 0; b < blocks; b++) {
        const int16_t* from = music.data() + static_cast<size_t>(b % 64) * samplesIn * 2;
        std::copy(from, from + static_cast<size_t>(samplesIn) * 2, block.begin());
        if (pipeline_process(*engines[i]->pipeline, block.data(), samplesIn, samplesOut) !=
            PipelineStatus::Ok)
          return;
      }
      cpu[i] = threadCpuSeconds() - c0;
    });
  }
  for (std::thread& t : threads) t.join();
  r.wallSeconds = secondsSince(t0);
  for (double c : cpu) r.cpuSeconds += c;
  r.audioSeconds = static_cast<double>(count) * blocks * samplesOut / c.rate;
  for (Engine* e : engines) engine_destroy(e);
  return r;
}

// Heap bytes that one engine holds once set up and past its first block (its
// buffers made), the note tables that engines at one rate share left out:
// the average over a few engines, all made after a first one took the tables.
struct EngineMemory {
  double perEngine;
  double sharedTables;
  int ok;
};

size_t heapInUse() {
  const struct mallinfo2 m = mallinfo2();
  return m.uordblks + m.hblkhd;
}

EngineMemory measureEngineMemory(int frameSize, int overSampling) {
  EngineMemory m{};
  const int kEngines = 8;
  std::vector<int16_t> block(2 * 8192, 0);
  auto makeOne = [&]() {
    Engine* e = caseEngine(frameSize, overSampling);
    const int stepIn = frameSize / overSampling;
    if (e != nullptr) pipeline_process(*e->pipeline, block.data(), 4 * stepIn, 4 * stepIn * 3 / 4);
    return e;
  };
  const size_t start = heapInUse();
  Engine* first = makeOne();
  const size_t afterFirst = heapInUse();
  std::vector<Engine*> more;
  for (int i = 0; i < kEngines; i++) more.push_back(makeOne());
  const size_t afterAll = heapInUse();
  m.ok = first != nullptr;
  for (Engine* e : more) m.ok = m.ok && e != nullptr;
  m.perEngine = static_cast<double>(afterAll - afterFirst) / kEngines;
  m.sharedTables = static_cast<double>(afterFirst - start) - m.perEngine;
  for (Engine* e : more) engine_destroy(e);
  engine_destroy(first);
  return m;
}

// ---------------------------------------------------------------------------
// Units of the engine linked into this program.

struct UnitCosts {
  double fft;       // microseconds per 2048-point forward transform
  double frame;     // microseconds per vocoder frame, 2048/4, equaliser on
  double analysis;  // microseconds per spectrum analysis (72 notes)
  // Microseconds per windowed forward and one-sided inverse transform of a
  // 4096-sample frame (the fine mode's two per frame and channel), by the
  // exact mode's transform and by the fine mode's real transform.
  double exactPair;
  double realPair;
};

// The best time of rounds of reps calls of fn, in microseconds per call.
template <typename Fn>
double microsPerCall(int rounds, int reps, Fn fn) {
  double best = 1e9;
  for (int round = 0; round < rounds; round++) {
    const auto t0 = Clock::now();
    for (int i = 0; i < reps; i++) fn();
    best = std::min(best, secondsSince(t0));
  }
  return best / reps * 1e6;
}

std::vector<float> musicFloats(int frames) {
  golden::Synth synth(1, 44100, 777, 1.0);
  std::vector<jshort> pcm(static_cast<size_t>(frames));
  synth.render(pcm.data(), frames);
  std::vector<float> f(pcm.size());
  for (size_t i = 0; i < pcm.size(); i++) f[i] = static_cast<float>(pcm[i]) * (1.0f / 32768.0f);
  return f;
}

UnitCosts measureUnits(CpuLevel level) {
  cpu_cap_for_testing(level);
  UnitCosts u{};
  const std::vector<float> music = musicFloats(44100 * 4);

  // FFT: the forward transform of a real 2048-point frame as the vocoder runs
  // it (the input is left intact, so nothing needs reloading).
  {
    fft_init(2048);
    std::vector<float> x(music.begin() + 10000, music.begin() + 10000 + 2048);
    std::vector<float> re(2048);
    std::vector<float> im(2048);
    const int reps = 4000;
    double best = 1e9;
    for (int round = 0; round < 5; round++) {
      const auto t0 = Clock::now();
      for (int i = 0; i < reps; i++) {
        fft_forward_real(x.data(), re.data(), im.data());
        asm volatile("" : : "r"(re.data()) : "memory");
      }
      best = std::min(best, secondsSince(t0));
    }
    u.fft = best / reps * 1e6;
  }

  // One vocoder frame: one hop in, one frame out, spectrum off.
  {
    eq_init(1024);
    const std::vector<float> curve = golden::eqCurve(1024);
    eq_setbands(curve.data());
    eq_enable(1);
    spectrum_enabled = 0;
    vocoder_init(2048, 512);
    std::vector<float> out(4096);
    const int frames = static_cast<int>(music.size() / 512);
    double best = 1e9;
    for (int round = 0; round < 3; round++) {
      const auto t0 = Clock::now();
      for (int f = 0; f < frames; f++) vocoder_process(music.data() + 512 * f, 512, out.data(), 683, f & 1);
      best = std::min(best, secondsSince(t0));
    }
    u.frame = best / frames * 1e6;
    spectrum_enabled = 1;
  }

  // One spectrum analysis per push of one analysis interval (mono).
  {
    spectrum_init(44100, 1);
    const int interval = 44100 / 4 / 8;
    const int pushes = 300;
    double best = 1e9;
    for (int round = 0; round < 3; round++) {
      const auto t0 = Clock::now();
      for (int p = 0; p < pushes; p++) {
        const size_t at = (static_cast<size_t>(interval) * p) % (music.size() - interval);
        spectrum_push(music.data() + at, interval, 0);
      }
      best = std::min(best, secondsSince(t0));
    }
    u.analysis = best / pushes * 1e6;
  }

  // The fine mode's transforms of one frame and channel, old and new.
  {
    const int n = 4096;
    std::vector<float> x(music.begin() + 20000, music.begin() + 20000 + n);
    std::vector<float> window(n), re(n), im(n), out(n);
    for (int k = 0; k < n; k++) window[k] = static_cast<float>(0.5 - 0.5 * std::cos(6.283185307179586 * k / n));
    FftState* exact = fft_create();
    RealFftPtr real(realfft_create(n));
    if (exact != nullptr && fft_init(*exact, n) && real) {
      std::vector<float> specRe(n / 2), specIm(n / 2);
      u.exactPair = microsPerCall(5, 1000, [&] {
        fft_forward_windowed(*exact, x.data(), window.data(), re.data(), im.data());
        std::copy_n(re.data(), n / 2, specRe.data());
        std::copy_n(im.data(), n / 2, specIm.data());
        fft_inverse_half(*exact, specRe.data(), specIm.data(), out.data(), im.data());
        asm volatile("" : : "r"(out.data()) : "memory");
      });
      u.realPair = microsPerCall(5, 1000, [&] {
        realfft_forward(*real, x.data(), window.data(), re.data(), im.data());
        realfft_inverse(*real, re.data(), im.data(), out.data());
        asm volatile("" : : "r"(out.data()) : "memory");
      });
    }
    fft_destroy(exact);
  }
  return u;
}

bool unitsFromProgram(const std::string& program, UnitCosts& u) {
  const std::string cmd = "'" + program + "' --units-only";
  FILE* p = popen(cmd.c_str(), "r");
  if (p == nullptr) return false;
  char line[256];
  int found = 0;
  while (std::fgets(line, sizeof(line), p) != nullptr) {
    char name[64];
    double v;
    if (std::sscanf(line, "unit %63s %lf", name, &v) != 2) continue;
    const std::string n = name;
    if (n == "fft2048") u.fft = v, found++;
    if (n == "frame2048") u.frame = v, found++;
    if (n == "analysis") u.analysis = v, found++;
  }
  return pclose(p) == 0 && found == 3;
}

// ---------------------------------------------------------------------------

std::string cpuModel() {
  std::ifstream in("/proc/cpuinfo");
  std::string line;
  while (std::getline(in, line)) {
    if (line.rfind("model name", 0) == 0) {
      const size_t colon = line.find(':');
      if (colon != std::string::npos) return line.substr(colon + 2);
    }
  }
  return "unknown";
}

// The 1-minute load average: other work on the machine shows in the figures.
std::string loadAverage() {
  std::ifstream in("/proc/loadavg");
  std::string first;
  in >> first;
  return first.empty() ? "unknown" : first;
}

int usage() {
  std::fprintf(stderr,
               "usage: tambrino_bench --fast LIB.so [--plain REF.so] [--plain-bench REF_BENCH] [--seconds S] "
               "[--runs N]\n       tambrino_bench --fast LIB.so --fine-only|--peers-only [--before OLD.so] [--seconds S] [--runs N]\n"
               "       tambrino_bench --fast LIB.so --profile QUALITY FRAME OVERSAMPLING TEMPO [--no-spectrum] [--seconds S]\n"
               "       tambrino_bench --units-only\n");
  return 2;
}

// The quality modes' table for one instruction set (the fine mode's rows
// alone when fineOnly); returns the number of failed runs.
int printModes(const std::string& fast, CpuLevel level, double seconds, int runs, bool fineOnly) {
  std::printf("\nQuality modes of this build side by side (TAMBRINO_CPU=%s), stereo 44.1 kHz, spectrum on,\n"
              "blocks of 4096 frames in (also per processor second of the calling thread, which a machine\n"
              "busy with other work skews less):\n",
              cpu_level_name(level));
  int failures = 0;
  for (const ModeCase& c : kModeCases) {
    if (fineOnly && c.quality != 1) continue;
    PipelineResult best{};
    best.seconds = 1e30;
    double bestCpu = 1e30;
    for (int r = 0; r < runs; r++) {
      PipelineResult res;
      if (modeInChild(fast, cpu_level_name(level), c, seconds, res)) {
        bestCpu = std::min(bestCpu, res.cpuSeconds);
        if (res.seconds < best.seconds) best = res;
      } else {
        failures++;
      }
    }
    if (!best.ok) {
      std::printf("  %s: a run failed\n", c.title);
      continue;
    }
    std::printf("  %-42s %11.1fx %7.1fx per processor second   worst block %.3f ms of %.1f ms\n", c.title,
                best.audioSeconds / best.seconds, best.audioSeconds / bestCpu, best.worstBlock * 1e3,
                best.blockSeconds * 1e3);
  }
  return failures;
}

}  // namespace

// The fine mode per instruction set and the exact mode beside SoundTouch,
// runs alternating (and an earlier build of the engine, before, in the same
// rounds when given); returns the number of failed runs.
int printAgainstSoundTouch(const std::string& fast, const std::string& before, const std::vector<CpuLevel>& levels,
                           double seconds, int runs) {
  int failures = 0;
  std::printf("\nThe fine mode at the tool's defaults (4096/8) against SoundTouch, stereo 44.1 kHz, the same\n"
              "music in blocks of 4096 input frames, runs alternating, best of %d (ratio: against SoundTouch,\n"
              "in wall-clock time and per processor second of the calling thread, which a machine busy\n"
              "with other work skews less):\n",
              runs);
  if (!kWithSoundTouch)
    std::printf("  (SoundTouch not built in: install libsoundtouch-dev and rebuild for its figures)\n");
  // The libraries: this build, and the earlier one when given.
  std::vector<std::string> libs = {fast};
  if (!before.empty()) libs.push_back(before);
  for (double tempo : kPeerTempos) {
    const ModeCase fineCase{"fine", 1, 4096, 8, tempo, 0.0f};
    const ModeCase quietCase{"fine, no analyser", 1, 4096, 8, tempo, 0.0f, false};
    const ModeCase exactCase{"exact", 0, 2048, 4, tempo, 0.0f};
    auto fresh = [] {
      PipelineResult b{};
      b.seconds = b.cpuSeconds = 1e30;
      return b;
    };
    auto keepBest = [](PipelineResult& best, const PipelineResult& res) {
      const double cpu = std::min(best.cpuSeconds, res.cpuSeconds);
      if (res.seconds < best.seconds) best = res;
      best.cpuSeconds = cpu;
    };
    PipelineResult bestPeer = fresh();
    // [library][level], then the exact mode per library at the widest level.
    std::vector<std::vector<PipelineResult>> bestFine(libs.size(), std::vector<PipelineResult>(levels.size(), fresh()));
    std::vector<PipelineResult> bestExact(libs.size(), fresh());
    std::vector<PipelineResult> bestQuiet(libs.size(), fresh());  // the analyser off
    for (int r = 0; r < runs; r++) {
      PipelineResult res;
      if (kWithSoundTouch) {
        if (inChild<PipelineResult>([&] { return runSoundTouch(tempo, seconds); }, res) && res.ok) {
          keepBest(bestPeer, res);
        } else {
          failures++;
        }
      }
      for (size_t lib = 0; lib < libs.size(); lib++) {
        for (size_t l = 0; l < levels.size(); l++) {
          if (modeInChild(libs[lib], cpu_level_name(levels[l]), fineCase, seconds, res)) {
            keepBest(bestFine[lib][l], res);
          } else {
            failures++;
          }
        }
        if (modeInChild(libs[lib], cpu_level_name(levels.front()), exactCase, seconds, res)) {
          keepBest(bestExact[lib], res);
        } else {
          failures++;
        }
        if (modeInChild(libs[lib], cpu_level_name(levels.front()), quietCase, seconds, res)) {
          keepBest(bestQuiet[lib], res);
        } else {
          failures++;
        }
      }
    }
    const double peer = bestPeer.ok ? bestPeer.audioSeconds / bestPeer.seconds : 0.0;
    const double peerCpu = bestPeer.ok ? bestPeer.audioSeconds / bestPeer.cpuSeconds : 0.0;
    std::printf("  tempo %.2f%54s %8s %8s\n", tempo, "", "wall", "cpu");
    if (bestPeer.ok) std::printf("    %-48s %11.1fx\n", "SoundTouch (default settings)", peer);
    auto row = [&](const std::string& title, const PipelineResult& b) {
      if (!b.ok) {
        std::printf("    %-40s a run failed\n", title.c_str());
        return;
      }
      const double x = b.audioSeconds / b.seconds;
      if (peer > 0.0)
        std::printf("    %-48s %11.1fx %8.2f %8.2f\n", title.c_str(), x, x / peer,
                    b.audioSeconds / b.cpuSeconds / peerCpu);
      else
        std::printf("    %-48s %11.1fx\n", title.c_str(), x);
    };
    for (size_t lib = 0; lib < libs.size(); lib++) {
      const std::string which = lib == 0 ? "" : "before: ";
      for (size_t l = 0; l < levels.size(); l++)
        row(which + "fine 4096/8, TAMBRINO_CPU=" + cpu_level_name(levels[l]), bestFine[lib][l]);
      row(which + "exact 2048/4, TAMBRINO_CPU=" + cpu_level_name(levels.front()), bestExact[lib]);
      row(which + "fine, no analyser, TAMBRINO_CPU=" + cpu_level_name(levels.front()), bestQuiet[lib]);
      const PipelineResult& on = bestFine[lib].front();
      const PipelineResult& off = bestQuiet[lib];
      if (on.ok && off.ok)
        std::printf("    %-48s %11.1f %% %7.1f %% of the processor time\n", (which + "the analyser's share").c_str(),
                    100.0 * (1.0 - off.seconds / off.audioSeconds / (on.seconds / on.audioSeconds)),
                    100.0 * (1.0 - off.cpuSeconds / off.audioSeconds / (on.cpuSeconds / on.audioSeconds)));
    }
  }

  return failures;
}

int main(int argc, char** argv) {
  std::string fast;
  std::string plain;
  std::string plainBench;
  std::string before;
  double seconds = 30.0;
  int runs = 3;
  bool unitsOnly = false;
  bool fineOnly = false;
  bool peersOnly = false;
  ModeCase profile{"profile", -1, 0, 0, 0.0, 0.0f};
  for (int i = 1; i < argc; i++) {
    const std::string a = argv[i];
    if (a == "--fast" && i + 1 < argc) {
      fast = argv[++i];
    } else if (a == "--plain" && i + 1 < argc) {
      plain = argv[++i];
    } else if (a == "--before" && i + 1 < argc) {
      before = argv[++i];
    } else if (a == "--plain-bench" && i + 1 < argc) {
      plainBench = argv[++i];
    } else if (a == "--seconds" && i + 1 < argc) {
      seconds = std::atof(argv[++i]);
    } else if (a == "--runs" && i + 1 < argc) {
      runs = std::max(1, std::atoi(argv[++i]));
    } else if (a == "--units-only") {
      unitsOnly = true;
    } else if (a == "--fine-only") {
      fineOnly = true;
    } else if (a == "--peers-only") {
      peersOnly = true;
    } else if (a == "--profile" && i + 4 < argc) {
      profile.quality = std::atoi(argv[++i]);
      profile.frameSize = std::atoi(argv[++i]);
      profile.overSampling = std::atoi(argv[++i]);
      profile.tempo = std::atof(argv[++i]);
    } else if (a == "--no-spectrum") {
      profile.spectrum = false;
    } else {
      return usage();
    }
  }

  // The instruction sets of this processor, widest first.
  std::vector<CpuLevel> levels;
  for (int l = static_cast<int>(cpu_detected_level()); l >= 0; l--)
    levels.push_back(static_cast<CpuLevel>(l));

  if (unitsOnly) {
    UnitCosts u{};
    if (!inChild<UnitCosts>([&] { return measureUnits(levels.front()); }, u)) return 1;
    std::printf("unit fft2048 %.4f\nunit frame2048 %.4f\nunit analysis %.4f\n", u.fft, u.frame, u.analysis);
    std::printf("unit fine4096exact %.4f\nunit fine4096real %.4f\n", u.exactPair, u.realPair);
    return 0;
  }
  if (fast.empty()) return usage();
  if (profile.quality >= 0) {
    golden::EngineApi api;
    std::string error;
    if (!bench::loadEngine(fast, api, error)) {
      std::fprintf(stderr, "%s\n", error.c_str());
      return 1;
    }
    void* handle = dlopen(fast.c_str(), RTLD_NOW | RTLD_LOCAL);
    auto qualityMode = reinterpret_cast<void (*)(JNIEnv*, jobject, jint)>(
        dlsym(handle, "Java_quorvel_tambrino_NativeInterface_dspQualityMode"));
    const PipelineResult r = runMode(api, qualityMode, nullptr, profile, seconds);
    if (!r.ok) return 1;
    std::printf("%s %d/%d tempo %.3f: %.1fx real time\n", profile.quality == 1 ? "fine" : "exact",
                profile.frameSize, profile.overSampling, profile.tempo, r.audioSeconds / r.seconds);
    return 0;
  }
  if (peersOnly) return printAgainstSoundTouch(fast, before, levels, seconds, runs) == 0 ? 0 : 1;
  if (fineOnly) {
    int failures = 0;
    for (CpuLevel level : levels) failures += printModes(fast, level, seconds, runs, true);
    return failures == 0 ? 0 : 1;
  }

  std::printf("CPU: %s, %ld logical CPUs (AVX2 %s, AVX-512 %s), load average %s\n", cpuModel().c_str(),
              sysconf(_SC_NPROCESSORS_ONLN), cpu_detected_level() >= CpuLevel::Avx2 ? "yes" : "no",
              cpu_detected_level() >= CpuLevel::Avx512 ? "yes" : "no", loadAverage().c_str());
  std::printf(
      "Whole pipeline through the JNI entry points, %.0f s of synthetic music per run, best of %d runs,\n"
      "once per instruction set (TAMBRINO_CPU)\n",
      seconds, runs);
  std::printf("(x real time = output audio duration / time inside dspProcess; worst block = the longest\n");
  std::printf(" single dspProcess call of the best run, against the block's playing time).\n\n");
  const bool withPlain = !plain.empty();
  std::printf("%-44s %12s %12s %8s\n", "", withPlain ? "plain" : "", "fast", withPlain ? "ratio" : "");

  int failures = 0;
  for (const PipelineCase& c : kCases) {
    std::printf("%s\n  (%s)\n", c.title, c.detail);
    for (CpuLevel level : levels) {
      const char* cpu = cpu_level_name(level);
      PipelineResult bestFast{};
      PipelineResult bestPlain{};
      bestFast.seconds = bestPlain.seconds = 1e30;
      for (int r = 0; r < runs; r++) {
        PipelineResult res;
        if (withPlain) {
          if (pipelineInChild(plain, cpu, c, seconds, res)) {
            if (res.seconds < bestPlain.seconds) bestPlain = res;
          } else {
            failures++;
          }
        }
        if (pipelineInChild(fast, cpu, c, seconds, res)) {
          if (res.seconds < bestFast.seconds) bestFast = res;
        } else {
          failures++;
        }
      }
      char title[64];
      std::snprintf(title, sizeof(title), "  TAMBRINO_CPU=%s", cpu);
      if (!bestFast.ok || (withPlain && !bestPlain.ok)) {
        std::printf("%s: a run failed\n", title);
        continue;
      }
      const double rtFast = bestFast.audioSeconds / bestFast.seconds;
      char label[96];
      std::snprintf(label, sizeof(label), "    worst block (budget %.1f ms)", bestFast.blockSeconds * 1e3);
      if (withPlain) {
        const double rtPlain = bestPlain.audioSeconds / bestPlain.seconds;
        std::printf("%-44s %11.1fx %11.1fx %8.2f\n", title, rtPlain, rtFast, rtFast / rtPlain);
        std::printf("%-44s %9.3f ms %9.3f ms\n", label, bestPlain.worstBlock * 1e3,
                    bestFast.worstBlock * 1e3);
        std::printf("%-44s %10.2f %% %10.2f %%\n", "    worst block / budget",
                    100.0 * bestPlain.worstBlock / bestPlain.blockSeconds,
                    100.0 * bestFast.worstBlock / bestFast.blockSeconds);
      } else {
        std::printf("%-44s %12s %11.1fx\n", title, "", rtFast);
        std::printf("%-44s %12s %9.3f ms (%.2f %%)\n", label, "", bestFast.worstBlock * 1e3,
                    100.0 * bestFast.worstBlock / bestFast.blockSeconds);
      }
    }
  }

  failures += printModes(fast, levels.front(), seconds, runs, false);

  failures += printAgainstSoundTouch(fast, before, levels, seconds, runs);

  std::printf(
      "\nEngines of this build in parallel threads (TAMBRINO_CPU=%s), each as the first case above:\n",
      cpu_level_name(levels.front()));
  std::printf(
      "  (real time: all engines' output audio over the wall-clock time; per processor second: over\n"
      "   the processor time of their threads, which a machine busy with other work does not skew)\n");
  double single = 0.0;
  double singleCpu = 0.0;
  for (int count = 1; count <= 2; count++) {
    double best = 0.0;
    double bestCpu = 0.0;
    for (int r = 0; r < runs; r++) {
      ParallelResult res{};
      if (inChild<ParallelResult>([&] { return runEngines(count, seconds, levels.front()); }, res) &&
          res.ok) {
        best = std::max(best, res.audioSeconds / res.wallSeconds);
        bestCpu = std::max(bestCpu, res.audioSeconds / res.cpuSeconds);
      } else {
        failures++;
      }
    }
    if (count == 1) {
      single = best;
      singleCpu = bestCpu;
      std::printf("  %-24s %11.1fx real time %19s %7.1fx per processor second\n", "1 engine, 1 thread", best,
                  "", bestCpu);
    } else {
      std::printf("  %-24s %11.1fx real time (%.2f x one) %7.1fx per processor second (%.2f x one)\n",
                  "2 engines, 2 threads", best, single > 0.0 ? best / single : 0.0, bestCpu,
                  singleCpu > 0.0 ? bestCpu / singleCpu : 0.0);
    }
  }
  std::printf("\nMemory per engine, set up (stereo 44.1 kHz) and past a first block:\n");
  const int layouts[2][2] = {{2048, 4}, {4096, 8}};
  for (const auto& l : layouts) {
    EngineMemory m{};
    if (!inChild<EngineMemory>([&] { return measureEngineMemory(l[0], l[1]); }, m) || !m.ok) {
      std::printf("  %d/%d: the measurement failed\n", l[0], l[1]);
      failures++;
      continue;
    }
    std::printf(
        "  %4d/%d %33s %8.0f KiB (the note tables, %.0f KiB, are shared by the engines at one rate)\n", l[0],
        l[1], "", m.perEngine / 1024.0, m.sharedTables / 1024.0);
  }

  UnitCosts p{};
  const bool withPlainUnits = !plainBench.empty() && unitsFromProgram(plainBench, p);
  for (CpuLevel level : levels) {
    UnitCosts u{};
    if (!inChild<UnitCosts>([&] { return measureUnits(level); }, u)) {
      std::printf("unit measurements failed\n");
      return 1;
    }
    const bool compare = withPlainUnits && level == levels.front();
    std::printf("\nUnits, microseconds per call, %s%s:\n", cpu_level_name(level),
                compare ? "" : " (this build)");
    auto row = [&](const char* name, double fastUs, double plainUs) {
      if (compare)
        std::printf("  %-42s %9.2f us %9.2f us %8.2f\n", name, plainUs, fastUs, plainUs / fastUs);
      else
        std::printf("  %-42s %9.2f us\n", name, fastUs);
    };
    row("FFT, 2048 points", u.fft, p.fft);
    row("vocoder frame, 2048/4, equaliser on", u.frame, p.frame);
    row("spectrum analysis, 72 notes", u.analysis, p.analysis);
    std::printf("  %-42s %9.2f us\n", "4096-sample frame there and back, exact FFT", u.exactPair);
    std::printf("  %-42s %9.2f us\n", "the same, the fine mode's real FFT", u.realPair);
  }
  return failures == 0 ? 0 : 1;
}
