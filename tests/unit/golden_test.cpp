// Golden outputs: every scenario of tests/golden/scenarios.h, run through the
// JNI entry points, must reproduce the digest stored in
// tests/golden/digests.txt bit for bit (every output sample, peak level and
// spectrum value of every block). The digests were made by the plainly
// written engine (the backlog scenario's by that engine with the analyser's
// whole remainder carried); any optimisation has to keep them.
//
// To remake them after a deliberate change of the engine's results:
//   build/golden_digests build/libtambrino.so > tests/golden/digests.txt
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

#include "../golden/scenarios.h"
#include "cpu_testing.h"
#include "quorvel_tambrino_NativeInterface.h"

namespace {

golden::EngineApi linkedApi() {
  golden::EngineApi api{};
#define GOLDEN_LINK(field, method) api.field = &Java_quorvel_tambrino_NativeInterface_##method;
  GOLDEN_ENTRY_POINTS(GOLDEN_LINK)
#undef GOLDEN_LINK
  return api;
}

std::string digestFile() {
  std::string here = __FILE__;  // .../tests/unit/golden_test.cpp
  const size_t cut = here.rfind("/unit/");
  return here.substr(0, cut) + "/golden/digests.txt";
}

std::map<std::string, uint64_t> storedDigests() {
  std::ifstream in(digestFile());
  std::stringstream ss;
  ss << in.rdbuf();
  return golden::parseDigests(ss.str());
}

std::vector<std::string> scenarioNames() {
  std::vector<std::string> names;
  for (const golden::Scenario& s : golden::scenarios()) names.push_back(s.name);
  return names;
}

// Every path the engine can take on this processor must give the same bits:
// the widest vectors it has, AVX2 alone, and the portable code.
enum class Path { Native, Avx2, Portable };

void choosePath(Path path) {
  static const CpuLevel caps[] = {CpuLevel::Avx512, CpuLevel::Avx2, CpuLevel::Portable};
  cpu_cap_for_testing(caps[static_cast<int>(path)]);
}

using GoldenParam = std::tuple<std::string, Path>;

class Golden : public ::testing::TestWithParam<GoldenParam> {};

TEST_P(Golden, ReproducesStoredDigest) {
  const std::string name = std::get<0>(GetParam());
  const Path path = std::get<1>(GetParam());
  const std::map<std::string, uint64_t> stored = storedDigests();
  const auto it = stored.find(name);
  ASSERT_NE(it, stored.end()) << "no digest stored for " << name << " in " << digestFile();

  const golden::Scenario* s = golden::findScenario(name);
  ASSERT_NE(s, nullptr);
  static const golden::EngineApi api = linkedApi();
  // A process of its own: NativeInterface's default engine lasts for the
  // process, and some of its state (the equaliser's size, the filter
  // coefficients) for the engine's life.
  const golden::Outcome o = golden::runIsolated([&] {
    choosePath(path);
    return golden::runScenario(api, *s);
  });
  ASSERT_TRUE(o.ok) << o.error;

  // The music must come out as music: loud enough, and seen by the spectrum.
  ASSERT_GT(o.samples, 0);
  const double rms = std::sqrt(o.sumSquares / static_cast<double>(o.samples));
  EXPECT_GT(rms, 500.0);
  EXPECT_LE(o.peakSample, 32767.0);
  EXPECT_GT(o.maxSpectrum, 0.0f);

  char hex[32];
  std::snprintf(hex, sizeof(hex), "%016llx", static_cast<unsigned long long>(o.digest));
  EXPECT_EQ(o.digest, it->second) << name << " now gives " << hex
                                  << "; find the first block that differs with golden_digests --compare";
}

std::string pathName(const ::testing::TestParamInfo<GoldenParam>& info) {
  static const char* const suffix[] = {"", "_avx2", "_portable"};
  return std::get<0>(info.param) + suffix[static_cast<int>(std::get<1>(info.param))];
}

INSTANTIATE_TEST_SUITE_P(Scenarios, Golden,
                         ::testing::Combine(::testing::ValuesIn(scenarioNames()),
                                            ::testing::Values(Path::Native, Path::Avx2, Path::Portable)),
                         pathName);

// Every stored digest belongs to a scenario that still exists.
TEST(GoldenFile, HasNoStaleDigests) {
  const std::map<std::string, uint64_t> stored = storedDigests();
  ASSERT_FALSE(stored.empty()) << "cannot read " << digestFile();
  for (const auto& kv : stored) {
    if (kv.first == "synthetic_input") continue;
    EXPECT_NE(golden::findScenario(kv.first), nullptr) << kv.first;
  }
}

// The synthetic input itself is fixed: a change of the synthesiser would
// change every digest without any change of the engine.
TEST(GoldenInput, SynthesiserIsStable) {
  EXPECT_EQ(golden::synthesiserDigest(), storedDigests()["synthetic_input"]);
  EXPECT_NEAR(golden::sineOfCycles(0.25), 1.0, 1e-9);
  EXPECT_NEAR(golden::sineOfCycles(-0.125), -std::sqrt(0.5), 1e-9);
  EXPECT_NEAR(golden::sineOfCycles(1000.1), std::sin(2.0 * M_PI * 0.1), 1e-9);
}

}  // namespace
