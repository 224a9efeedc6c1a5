// Failures are never silent and never half done. Every allocation that an
// entry point makes is made to fail in turn (tests/support/alloc_hooks.h),
// and every Java array that the fake virtual machine is asked to copy in is
// refused in turn: the call must raise OutOfMemoryError, leave the caller's
// array as it was, and leave the engine so that the stream that follows is
// bit for bit the stream that would have followed without the call.
//
// Each stream runs in a child process, so that every run starts from a
// fresh engine.
#include <gtest/gtest.h>
#include <jni.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <functional>
#include <string>
#include <vector>

#include "../golden/scenarios.h"
#include "../support/alloc_hooks.h"
#include "../support/fake_jni.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace {

using allochooks::HostEnv;

// Makes the n-th Java array read of the next call fail (0 = the first): the
// virtual machine raises OutOfMemoryError and copies nothing.
struct FailingReads {
  static inline int countdown = -1;

  static void arm(fakejni::Env& env, int n) {
    countdown = n;
    env.table.GetShortArrayRegion =
        reinterpret_cast<void(JNICALL*)(JNIEnv*, jshortArray, jsize, jsize, jshort*)>(
            &read<jshort, fakejni::Kind::Short>);
    env.table.GetFloatArrayRegion =
        reinterpret_cast<void(JNICALL*)(JNIEnv*, jfloatArray, jsize, jsize, jfloat*)>(
            &read<jfloat, fakejni::Kind::Float>);
    env.table.GetDoubleArrayRegion =
        reinterpret_cast<void(JNICALL*)(JNIEnv*, jdoubleArray, jsize, jsize, jdouble*)>(
            &read<jdouble, fakejni::Kind::Double>);
  }
  template <typename T, fakejni::Kind K>
  static void JNICALL read(JNIEnv* e, jarray a, jsize start, jsize len, T* buf) {
    if (countdown-- == 0) fakejni::Env::of(e)->failNextGet = true;
    fakejni::getRegion<T, K>(e, a, start, len, buf);
  }
};

// What a child reports: the digest of everything the engine handed back
// after the disturbance, what the disturbance raised, how many allocations it
// made, and whether the arrays it was given came back unchanged.
struct Outcome {
  bool ran = false;
  uint64_t digest = 0;
  long allocations = 0;
  bool arraysUntouched = true;
  char exception[64] = {};
  char message[200] = {};
};

Outcome inChild(const std::function<void(Outcome&)>& body) {
  int fds[2];
  if (pipe(fds) != 0) return {};
  const pid_t pid = fork();
  if (pid == 0) {
    close(fds[0]);
    Outcome o;
    try {
      body(o);
    } catch (...) {
      _exit(2);  // never back into the test runner
    }
    o.ran = true;
    const ssize_t w = write(fds[1], &o, sizeof o);
    _exit(w == static_cast<ssize_t>(sizeof o) ? 0 : 1);
  }
  close(fds[1]);
  Outcome o;
  const ssize_t r = read(fds[0], &o, sizeof o);
  close(fds[0]);
  int status = 0;
  waitpid(pid, &status, 0);
  if (r != static_cast<ssize_t>(sizeof o) || !WIFEXITED(status) || WEXITSTATUS(status) != 0) return {};
  return o;
}

void takeException(HostEnv& env, Outcome& o) {
  std::snprintf(o.exception, sizeof o.exception, "%s", env.pendingClass.c_str());
  std::snprintf(o.message, sizeof o.message, "%s", env.pendingMessage.c_str());
  env.takeException();
}

constexpr int kFrameSize = 1024;

// A stereo stream with voice removal, equaliser and spectrum on, at a tempo
// of 0.75.
class Stream {
 public:
  Stream() : synth_(2, 44100, 777, 1.2) {}
  HostEnv env;

  void setUp(int frameSize = kFrameSize) {
    Java_quorvel_tambrino_NativeInterface_dspInit(&env, nullptr, frameSize, 4, 44100, 2);
    filter(golden::lowPass2());
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalEnable(&env, nullptr, 1);
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalAmount(&env, nullptr, 0.8f);
    Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&env, nullptr,
                                                        env.floats(golden::eqCurve(frameSize / 2)));
    Java_quorvel_tambrino_NativeInterface_dspEQEnable(&env, nullptr, 1);
  }
  void filter(const golden::Coefficients& c) {
    jdoubleArray a;
    jdoubleArray b;
    {
      allochooks::HostScope host;
      a = env.doubles(c.a);
      b = env.doubles(c.b);
    }
    Java_quorvel_tambrino_NativeInterface_dspVoiceRemovalFilter(
        &env, nullptr, a, b, static_cast<jint>(c.a.size()), static_cast<jint>(c.b.size()));
  }
  // A block that is not part of the stream's input (the stream's next
  // block stays the same).
  jshortArray foreign(int frames) {
    allochooks::HostScope host;
    return env.shorts(std::vector<jshort>(2 * static_cast<size_t>(frames), 1234));
  }
  // Allocations of the test itself are the host's.
  jshortArray input(int samplesIn, int samplesOut) {
    allochooks::HostScope host;
    std::vector<jshort> v(2 * static_cast<size_t>(std::max(samplesIn, samplesOut)));
    synth_.render(v.data(), samplesIn);
    return env.shorts(v);
  }
  // Blocks of 1024 frames in, 1365 out, each followed by both polls.
  void blocks(int n, golden::Digest* d) {
    for (int i = 0; i < n; i++) {
      jshortArray a = input(1024, 1365);
      Java_quorvel_tambrino_NativeInterface_dspProcess(&env, nullptr, a, 1024, 1365, 1.0f);
      if (d == nullptr) continue;
      d->shorts(fakejni::Env::read<jshort>(a));
      polls(*d);
    }
  }
  void polls(golden::Digest& d) {
    d.floatBits(Java_quorvel_tambrino_NativeInterface_dspGetMaxLevel(&env, nullptr));
    jfloatArray s = env.floats(std::vector<float>(72, -1.0f));
    Java_quorvel_tambrino_NativeInterface_dspGetSpectrum(&env, nullptr, s, 72);
    for (float v : fakejni::Env::read<jfloat>(s)) d.floatBits(v);
  }

 private:
  golden::Synth synth_;
};

// The stream, disturbed after its third block; the digest covers the polls
// right after the disturbance and every block after it.
Outcome disturbed(const std::function<void(Stream&, Outcome&)>& disturb) {
  return inChild([&](Outcome& o) {
    Stream s;
    s.setUp();
    s.blocks(3, nullptr);
    disturb(s, o);
    golden::Digest d;
    s.polls(d);
    s.blocks(8, &d);
    o.digest = d.value();
  });
}

// Runs call with the allocation of index failAt failing (-1: none), counting
// the allocations it makes; the exception it raised goes to o.
void withFailure(Stream& s, Outcome& o, long failAt, const std::function<void()>& call) {
  allochooks::allocations.store(0);
  allochooks::failAt.store(failAt);
  allochooks::counting.store(true);
  call();
  allochooks::counting.store(false);
  allochooks::failAt.store(-1);
  o.allocations = allochooks::allocations.load();
  takeException(s.env, o);
}

// Every allocation of the call fails in turn: each raises OutOfMemoryError,
// leaves the call's arrays alone (call returns whether it did) and leaves the
// stream as it was without the call. Returns how many allocations the call
// makes when none fails.
long eachAllocationFails(const char* what, const std::function<bool(Stream&)>& call) {
  const Outcome plain = disturbed([](Stream&, Outcome&) {});
  EXPECT_TRUE(plain.ran);
  const Outcome succeeding =
      disturbed([&](Stream& s, Outcome& o) { withFailure(s, o, -1, [&] { call(s); }); });
  EXPECT_TRUE(succeeding.ran);
  EXPECT_STREQ(succeeding.exception, "") << what << ": " << succeeding.message;
  for (long k = 0; k < succeeding.allocations; k++) {
    const Outcome failed =
        disturbed([&](Stream& s, Outcome& o) { withFailure(s, o, k, [&] { o.arraysUntouched = call(s); }); });
    EXPECT_TRUE(failed.ran) << what << ", allocation " << k;
    EXPECT_STREQ(failed.exception, "java/lang/OutOfMemoryError") << what << ", allocation " << k;
    EXPECT_NE(std::string(failed.message).find(what), std::string::npos) << failed.message;
    EXPECT_TRUE(failed.arraysUntouched) << what << ", allocation " << k;
    EXPECT_EQ(failed.digest, plain.digest) << what << ": allocation " << k << " failed half done";
  }
  return succeeding.allocations;
}

TEST(AllocationFailure, ASetUpThatFailsLeavesThePlayingStreamAsItWas) {
  // A new frame size makes the vocoder anew: every one of its buffers.
  const long made = eachAllocationFails("dspInit", [](Stream& s) {
    Java_quorvel_tambrino_NativeInterface_dspInit(&s.env, nullptr, 2048, 8, 48000, 1);
    return true;
  });
#ifndef TAMBRINO_SANITIZED
  EXPECT_GE(made, 25);
#else
  (void)made;
#endif
  // The check can tell: a set-up that succeeds does change the stream.
  const Outcome plain = disturbed([](Stream&, Outcome&) {});
  const Outcome reset = disturbed([](Stream& s, Outcome&) {
    Java_quorvel_tambrino_NativeInterface_dspInit(&s.env, nullptr, kFrameSize, 4, 44100, 2);
  });
  EXPECT_NE(plain.digest, reset.digest);
}

TEST(AllocationFailure, AFilterOrABlockThatCannotBeAllocatedChangesNothing) {
  const golden::Coefficients band = golden::bandPass4();
  const long filter = eachAllocationFails("dspVoiceRemovalFilter", [&](Stream& s) {
    s.filter(band);
    return true;
  });
  EXPECT_GE(filter, 8);  // both records of the pair
  // A block far larger than any before grows the work buffers.
  const long grown = eachAllocationFails("dspProcess", [](Stream& s) {
    jshortArray a = s.foreign(26666);
    std::vector<jshort> before;
    {
      allochooks::HostScope host;
      before = fakejni::Env::read<jshort>(a);
    }
    Java_quorvel_tambrino_NativeInterface_dspProcess(&s.env, nullptr, a, 20000, 26666, 1.0f);
    allochooks::HostScope host;
    return fakejni::Env::read<jshort>(a) == before;
  });
  EXPECT_GE(grown, 4);
}

// The first set-up of the process fails part-way: nothing is set up (blocks
// are refused), and a retry gives the stream a clean set-up gives.
TEST(AllocationFailure, AFirstSetUpThatFailsCanBeRetried) {
  const auto run = [](long failAt) {
    return inChild([&](Outcome& o) {
      Stream s;
      withFailure(s, o, failAt, [&] {
        Java_quorvel_tambrino_NativeInterface_dspInit(&s.env, nullptr, kFrameSize, 4, 44100, 2);
      });
      if (failAt >= 0) {
        jshortArray a = s.foreign(1365);
        const std::vector<jshort> before = fakejni::Env::read<jshort>(a);
        Java_quorvel_tambrino_NativeInterface_dspProcess(&s.env, nullptr, a, 1024, 1365, 1.0f);
        o.arraysUntouched = fakejni::Env::read<jshort>(a) == before;
        std::snprintf(o.message, sizeof o.message, "%s", s.env.takeException().c_str());
      }
      s.setUp();
      golden::Digest d;
      s.blocks(8, &d);
      o.digest = d.value();
    });
  };
  const Outcome plain = run(-1);
  ASSERT_TRUE(plain.ran);
  EXPECT_STREQ(plain.exception, "");
  for (long k = 0; k < plain.allocations; k++) {
    const Outcome failed = run(k);
    EXPECT_STREQ(failed.exception, "java/lang/OutOfMemoryError") << k;
    EXPECT_TRUE(failed.arraysUntouched) << k;
    EXPECT_STREQ(failed.message, "java/lang/IllegalStateException") << k;  // blocks are refused
    EXPECT_EQ(failed.digest, plain.digest) << k;
  }
}

// The virtual machine fails to copy an array in: the call leaves the error
// pending, the arrays alone and the stream as it was.
TEST(JavaArrayFailure, ARefusedArrayChangesNothing) {
  const Outcome plain = disturbed([](Stream&, Outcome&) {});
  const golden::Coefficients band = golden::bandPass4();
  struct Case {
    const char* what;
    int failingRead;
    std::function<bool(Stream&)> call;  // true if its arrays came back unchanged
  };
  const std::vector<Case> cases = {
      {"dspProcess", 0,
       [&](Stream& s) {
         jshortArray a = s.foreign(1365);
         const std::vector<jshort> before = fakejni::Env::read<jshort>(a);
         Java_quorvel_tambrino_NativeInterface_dspProcess(&s.env, nullptr, a, 1024, 1365, 1.0f);
         return fakejni::Env::read<jshort>(a) == before;
       }},
      {"dspVoiceRemovalFilter, coeffA", 0,
       [&](Stream& s) {
         s.filter(band);
         return true;
       }},
      {"dspVoiceRemovalFilter, coeffB", 1,
       [&](Stream& s) {
         s.filter(band);
         return true;
       }},
      {"dspEQSetBands", 0,
       [&](Stream& s) {
         Java_quorvel_tambrino_NativeInterface_dspEQSetBands(&s.env, nullptr,
                                                             s.env.floats(std::vector<float>(512, 3.0f)));
         return true;
       }},
  };
  for (const Case& c : cases) {
    const Outcome o = disturbed([&](Stream& s, Outcome& out) {
      FailingReads::arm(s.env, c.failingRead);
      out.arraysUntouched = c.call(s);
      takeException(s.env, out);
    });
    ASSERT_TRUE(o.ran) << c.what;
    EXPECT_STREQ(o.exception, "java/lang/OutOfMemoryError") << c.what;
    EXPECT_TRUE(o.arraysUntouched) << c.what;
    EXPECT_EQ(o.digest, plain.digest) << c.what;
  }
}

}  // namespace
