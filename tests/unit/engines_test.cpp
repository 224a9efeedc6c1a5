// Engines as objects: the golden scenarios through engines of their own, two
// engines at once on one thread and on two, settings that must stay in their
// engine, and the engines' life.
#include <gtest/gtest.h>
#if defined(_WIN32)
#include <windows.h>
// After windows.h, which it needs.
#include <psapi.h>
#else
#include <unistd.h>
#endif

#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <fstream>
#include <mutex>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "../golden/scenarios.h"
#include "../support/fake_jni.h"
#include "engine.h"
#include "eq.h"
#include "quorvel_tambrino_EngineNative.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace {

// The engine that this thread's scenario drives, and (for the lock-step
// runs) the turn that its blocks wait for.
thread_local jlong currentHandle = 0;

struct LockStep {
  std::mutex m;
  std::condition_variable cv;
  int turn = 0;
  int active = 2;
};
LockStep* lockStep = nullptr;
thread_local int myTurn = -1;

void waitForTurn() {
  if (lockStep == nullptr) return;
  std::unique_lock<std::mutex> lock(lockStep->m);
  lockStep->cv.wait(lock, [] { return lockStep->turn == myTurn || lockStep->active < 2; });
}

void passTurn(bool finished) {
  if (lockStep == nullptr) return;
  std::lock_guard<std::mutex> lock(lockStep->m);
  if (finished) lockStep->active--;
  lockStep->turn = 1 - myTurn;
  lockStep->cv.notify_all();
}

// The scenarios' entry points, routed to this thread's engine; in lock step
// the two threads' blocks alternate, one at a time.
golden::EngineApi objectApi() {
  golden::EngineApi api{};
  api.init = [](JNIEnv* e, jobject, jint f, jint o, jint r, jint c) {
    Java_quorvel_tambrino_EngineNative_init(e, nullptr, currentHandle, f, o, r, c);
  };
  api.voiceRemovalEnable = [](JNIEnv* e, jobject, jint v) {
    Java_quorvel_tambrino_EngineNative_voiceRemovalEnable(e, nullptr, currentHandle, v);
  };
  api.voiceRemovalAmount = [](JNIEnv* e, jobject, jfloat v) {
    Java_quorvel_tambrino_EngineNative_voiceRemovalAmount(e, nullptr, currentHandle, v);
  };
  api.setPreamp = [](JNIEnv* e, jobject, jfloat v) {
    Java_quorvel_tambrino_EngineNative_setPreamp(e, nullptr, currentHandle, v);
  };
  api.spectrumEnable = [](JNIEnv* e, jobject, jint v) {
    Java_quorvel_tambrino_EngineNative_spectrumEnable(e, nullptr, currentHandle, v);
  };
  api.voiceRemovalFilter = [](JNIEnv* e, jobject, jdoubleArray a, jdoubleArray b, jint na, jint nb) {
    Java_quorvel_tambrino_EngineNative_voiceRemovalFilter(e, nullptr, currentHandle, a, b, na, nb);
  };
  api.getMaxLevel = [](JNIEnv* e, jobject) {
    return Java_quorvel_tambrino_EngineNative_getMaxLevel(e, nullptr, currentHandle);
  };
  api.process = [](JNIEnv* e, jobject, jshortArray s, jint in, jint out, jfloat) {
    waitForTurn();
    Java_quorvel_tambrino_EngineNative_process(e, nullptr, currentHandle, s, in, out);
    passTurn(false);
  };
  api.panning = [](JNIEnv* e, jobject, jint a, jint m, jint l) {
    Java_quorvel_tambrino_EngineNative_panning(e, nullptr, currentHandle, a, m, l);
  };
  api.eqSetBands = [](JNIEnv* e, jobject, jfloatArray b) {
    Java_quorvel_tambrino_EngineNative_eqSetBands(e, nullptr, currentHandle, b);
  };
  api.eqEnable = [](JNIEnv* e, jobject, jint v) {
    Java_quorvel_tambrino_EngineNative_eqEnable(e, nullptr, currentHandle, v);
  };
  api.getSpectrum = [](JNIEnv* e, jobject, jfloatArray s, jint n) {
    Java_quorvel_tambrino_EngineNative_getSpectrum(e, nullptr, currentHandle, s, n);
  };
  return api;
}

const golden::EngineApi& api() {
  static const golden::EngineApi a = objectApi();
  return a;
}

std::map<std::string, uint64_t> storedDigests() {
  std::string here = __FILE__;
  std::ifstream in(here.substr(0, here.rfind("/unit/")) + "/golden/digests.txt");
  std::stringstream ss;
  ss << in.rdbuf();
  return golden::parseDigests(ss.str());
}

jlong newEngine() {
  fakejni::Env env;
  const jlong h = Java_quorvel_tambrino_EngineNative_create(&env, nullptr);
  EXPECT_NE(h, 0);
  return h;
}

void freeEngine(jlong h) {
  Java_quorvel_tambrino_EngineNative_destroy(nullptr, nullptr, h);
}

// Scenario s on engine h on this thread.
golden::Outcome runOn(jlong h, const golden::Scenario& s, int turn = -1) {
  currentHandle = h;
  myTurn = turn;
  golden::Outcome o = golden::runScenario(api(), s);
  passTurn(true);
  return o;
}

// Runs scenarios a and b on two engines at once, each on a thread of its
// own, freely or in lock step (their blocks alternating); true when both
// give their stored digests.
bool pairMatches(const golden::Scenario& a, const golden::Scenario& b, bool inLockStep) {
  const std::map<std::string, uint64_t> stored = storedDigests();
  const golden::Outcome o = golden::runIsolated([&] {
    LockStep step;
    if (inLockStep) lockStep = &step;
    const jlong ha = newEngine();
    const jlong hb = newEngine();
    golden::Outcome oa, ob;
    std::thread ta([&] { oa = runOn(ha, a, 0); });
    std::thread tb([&] { ob = runOn(hb, b, 1); });
    ta.join();
    tb.join();
    freeEngine(ha);
    freeEngine(hb);
    golden::Outcome r;
    r.ok = oa.digest == stored.at(a.name) && ob.digest == stored.at(b.name);
    return r;
  });
  return o.ok;
}

TEST(Engines, EveryScenarioThroughAnEngineObjectGivesItsDigest) {
  const std::map<std::string, uint64_t> stored = storedDigests();
  for (const golden::Scenario& s : golden::scenarios()) {
    const golden::Outcome o = golden::runIsolated([&] {
      const jlong h = newEngine();
      golden::Outcome r = runOn(h, s);
      freeEngine(h);
      return r;
    });
    ASSERT_TRUE(o.ok) << o.error;
    EXPECT_EQ(o.digest, stored.at(s.name)) << s.name;
  }
}

TEST(Engines, TwoEnginesOnTwoThreadsGiveWhatEachGivesAlone) {
  const std::vector<golden::Scenario>& all = golden::scenarios();
  for (size_t i = 0; i < all.size(); i++) {
    const golden::Scenario& a = all[i];
    const golden::Scenario& b = all[(i + 1) % all.size()];
    EXPECT_TRUE(pairMatches(a, b, false)) << a.name << " beside " << b.name;
  }
}

TEST(Engines, TwoEnginesInterleavedBlockByBlockGiveWhatEachGivesAlone) {
  const std::vector<golden::Scenario>& all = golden::scenarios();
  for (size_t i = 0; i < all.size(); i++) {
    const golden::Scenario& a = all[i];
    const golden::Scenario& b = all[(i + 3) % all.size()];
    EXPECT_TRUE(pairMatches(a, b, true)) << a.name << " interleaved with " << b.name;
  }
}

// A set-up and settings far from any scenario's, on the default engine and on
// another object, before and while a scenario runs on its own engine.
TEST(Engines, SettingsStayInTheirEngine) {
  const std::map<std::string, uint64_t> stored = storedDigests();
  const golden::Scenario& s = golden::scenarios().front();
  const golden::Outcome o = golden::runIsolated([&] {
    fakejni::Env env;
    const golden::Coefficients c = golden::bandPass4();
    std::vector<float> gains(2048, 0.25f);
    const jlong other = newEngine();
    // Every setter of another engine and of the default engine.
    Java_quorvel_tambrino_EngineNative_init(&env, nullptr, other, 4096, 8, 22050, 2);
    Java_quorvel_tambrino_EngineNative_voiceRemovalFilter(&env, nullptr, other, env.doubles(c.a),
                                                          env.doubles(c.b), static_cast<jint>(c.a.size()),
                                                          static_cast<jint>(c.b.size()));
    Java_quorvel_tambrino_EngineNative_voiceRemovalEnable(&env, nullptr, other, 1);
    Java_quorvel_tambrino_EngineNative_voiceRemovalAmount(&env, nullptr, other, 0.9f);
    Java_quorvel_tambrino_EngineNative_setPreamp(&env, nullptr, other, 7.0f);
    Java_quorvel_tambrino_EngineNative_spectrumEnable(&env, nullptr, other, 0);
    Java_quorvel_tambrino_EngineNative_panning(&env, nullptr, other, 1, 1, 10);
    Java_quorvel_tambrino_EngineNative_eqSetBands(&env, nullptr, other, env.floats(gains));
    Java_quorvel_tambrino_EngineNative_eqEnable(&env, nullptr, other, 1);
    Java_quorvel_tambrino_EngineNative_qualityMode(&env, nullptr, other, 1);
    Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, 512, 2, 48000, 1);
    Java_quorvel_tambrino_NativeInterface_dspSetPreamp(&env, nullptr, 0.1f);
    Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, 1);
    Java_quorvel_tambrino_NativeInterface_dspSpectrumEnable(&env, nullptr, 0);
    Java_quorvel_tambrino_NativeInterface_dspQualityMode(&env, nullptr, 1);
    // The other engine streams meanwhile, on a thread of its own.
    std::atomic<bool> done{false};
    std::thread noise([&] {
      fakejni::Env e2;
      std::vector<jshort> pcm(2 * 4096, 1000);
      jshortArray arr = e2.shorts(pcm);
      while (!done.load()) Java_quorvel_tambrino_EngineNative_process(&e2, nullptr, other, arr, 2048, 1500);
    });
    const jlong h = newEngine();
    golden::Outcome r = runOn(h, s);
    done.store(true);
    noise.join();
    // Each engine's equaliser is sized by its own first set-up.
    const int otherBands = eq_band_count(*reinterpret_cast<Engine*>(other)->eq);
    const int ownBands = eq_band_count(*reinterpret_cast<Engine*>(h)->eq);
    r.ok = r.ok && otherBands == 2048 && ownBands > 0 && ownBands != otherBands && env.pendingClass.empty();
    freeEngine(h);
    freeEngine(other);
    return r;
  });
  ASSERT_TRUE(o.ok) << o.error;
  EXPECT_EQ(o.digest, stored.at(s.name));
}

// Three engines stream stereo with voice removal on three threads while a
// fourth thread calls every setter and poller of all three, filter swaps and
// equaliser gains included. Nothing may crash or race (this also runs under
// ThreadSanitizer), and every value handed out stays finite and in range.
TEST(Engines, SeveralEnginesStreamWhileAnotherThreadSetsAndPollsThemAll) {
  constexpr int kEngines = 3;
  jlong handles[kEngines];
  fakejni::Env setupEnv;
  const golden::Coefficients filters[2] = {golden::lowPass2(), golden::bandPass4()};
  for (jlong& h : handles) {
    h = newEngine();
    Java_quorvel_tambrino_EngineNative_init(&setupEnv, nullptr, h, 1024, 4, 44100, 2);
    Java_quorvel_tambrino_EngineNative_voiceRemovalFilter(
        &setupEnv, nullptr, h, setupEnv.doubles(filters[0].a), setupEnv.doubles(filters[0].b),
        static_cast<jint>(filters[0].a.size()), static_cast<jint>(filters[0].b.size()));
    Java_quorvel_tambrino_EngineNative_voiceRemovalEnable(&setupEnv, nullptr, h, 1);
  }
  std::atomic<bool> stop{false};
  std::atomic<long> blocks{0};
  std::atomic<long> bad{0};
  std::vector<std::thread> players;
  for (int i = 0; i < kEngines; i++) {
    players.emplace_back([&, i] {
      fakejni::Env env;
      golden::Synth synth(2, 44100, 100 + static_cast<uint32_t>(i), 1.0);
      std::vector<jshort> pcm(2 * 1400);
      jshortArray arr = env.shorts(pcm);
      for (int b = 0; !stop.load(); b++) {
        const int out = 700 + 300 * (b % 3);
        synth.render(pcm.data(), 1024);
        fakejni::Env::write(arr, pcm);
        Java_quorvel_tambrino_EngineNative_process(&env, nullptr, handles[i], arr, 1024, out);
        if (!env.pendingClass.empty()) bad.fetch_add(1);
        for (jshort v : fakejni::Env::read<jshort>(arr)) bad.fetch_add(v == -32768 ? 1 : 0);
        blocks.fetch_add(1);
      }
    });
  }
  long setterRounds = 0;
  std::thread ui([&] {
    fakejni::Env env;
    jfloatArray spectrum = env.floats(std::vector<float>(72, 0.0f));
    jfloatArray gains[2] = {env.floats(std::vector<float>(512, 0.5f)),
                            env.floats(std::vector<float>(512, 1.5f))};
    std::vector<jdoubleArray> a, b;
    for (const golden::Coefficients& c : filters) {
      a.push_back(env.doubles(c.a));
      b.push_back(env.doubles(c.b));
    }
    for (int r = 0; !stop.load(); r++, setterRounds++) {
      for (jlong h : handles) {
        const int k = r % 2;
        Java_quorvel_tambrino_EngineNative_voiceRemovalAmount(&env, nullptr, h,
                                                              0.2f * static_cast<float>(r % 5));
        Java_quorvel_tambrino_EngineNative_voiceRemovalFilter(&env, nullptr, h, a[k], b[k],
                                                              static_cast<jint>(filters[k].a.size()),
                                                              static_cast<jint>(filters[k].b.size()));
        Java_quorvel_tambrino_EngineNative_setPreamp(&env, nullptr, h, 0.5f + static_cast<float>(r % 4));
        Java_quorvel_tambrino_EngineNative_panning(&env, nullptr, h, r % 2, r % 3 == 0, r % 101);
        Java_quorvel_tambrino_EngineNative_eqSetBands(&env, nullptr, h, gains[k]);
        Java_quorvel_tambrino_EngineNative_eqEnable(&env, nullptr, h, r % 2);
        Java_quorvel_tambrino_EngineNative_spectrumEnable(&env, nullptr, h, r % 7 != 0);
        Java_quorvel_tambrino_EngineNative_qualityMode(&env, nullptr, h, r % 11 == 0);
        const float level = Java_quorvel_tambrino_EngineNative_getMaxLevel(&env, nullptr, h);
        Java_quorvel_tambrino_EngineNative_getSpectrum(&env, nullptr, h, spectrum, 72);
        if (!std::isfinite(level) || level < 0.0f || !env.pendingClass.empty()) bad.fetch_add(1);
        for (float v : fakejni::Env::read<float>(spectrum))
          bad.fetch_add(std::isfinite(v) && v >= 0.0f ? 0 : 1);
      }
    }
  });
  std::this_thread::sleep_for(std::chrono::seconds(1));
  stop.store(true);
  for (std::thread& t : players) t.join();
  ui.join();
  for (jlong h : handles) freeEngine(h);
  std::printf("%ld blocks on %d engines against %ld rounds of every setter and poller of each\n",
              blocks.load(), kEngines, setterRounds);
  EXPECT_EQ(bad.load(), 0);
  EXPECT_GT(blocks.load(), kEngines);
  EXPECT_GT(setterRounds, 1);
}

TEST(Engines, AClosedHandleIsRefusedAndDestroyingNullIsHarmless) {
  fakejni::Env env;
  Java_quorvel_tambrino_EngineNative_setPreamp(&env, nullptr, 0, 1.0f);
  EXPECT_EQ(env.pendingClass, "java/lang/IllegalStateException");
  freeEngine(0);
}

// The process's resident size (its working set on Windows), or 0 when the
// system does not say.
long residentKiB() {
#if defined(_WIN32)
  PROCESS_MEMORY_COUNTERS counters{};
  if (!GetProcessMemoryInfo(GetCurrentProcess(), &counters, sizeof counters)) return 0;
  return static_cast<long>(counters.WorkingSetSize / 1024);
#else
  std::ifstream in("/proc/self/statm");
  long size = 0, resident = 0;
  if (!(in >> size >> resident)) return 0;
  return resident * (sysconf(_SC_PAGESIZE) / 1024);
#endif
}

// Set up and streamed, then freed, again and again: nothing may stay behind
// (the AddressSanitizer build's leak check sees every allocation; here the
// resident size must settle).
TEST(Engines, TenThousandEnginesMadeUsedAndFreedLeaveNothing) {
  fakejni::Env env;
  std::vector<jshort> pcm(2 * 1024, 0);
  for (size_t i = 0; i < pcm.size(); i++) pcm[i] = static_cast<jshort>((i * 37) % 2000 - 1000);
  jshortArray arr = env.shorts(pcm);
  auto cycle = [&] {
    const jlong h = newEngine();
    Java_quorvel_tambrino_EngineNative_init(&env, nullptr, h, 2048, 4, 44100, 2);
    Java_quorvel_tambrino_EngineNative_process(&env, nullptr, h, arr, 1024, 800);
    freeEngine(h);
  };
  const long before = engine_count();
  for (int i = 0; i < 200; i++) cycle();
  const long settled = residentKiB();
  ASSERT_GT(settled, 0) << "no resident size to compare";
  for (int i = 0; i < 10000; i++) cycle();
  const long after = residentKiB();
  EXPECT_TRUE(env.pendingClass.empty()) << env.pendingClass;
  EXPECT_EQ(engine_count(), before);
  std::printf("resident size after 200 cycles %ld KiB, after 10,200 %ld KiB\n", settled, after);
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
  // A sanitizer's allocator holds freed memory back on purpose; there its
  // leak check speaks instead.
  EXPECT_LT(after - settled, 4096) << "the resident size grew by " << (after - settled) << " KiB";
#endif
}

}  // namespace
