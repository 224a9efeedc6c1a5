// The engine object: makes and frees one stream's units and wires them up.
#include "engine.h"

#include <atomic>
#include <mutex>
#include <new>

#include "eq.h"
#include "fft.h"
#include "fine.h"
#include "iirfilter.h"
#include "pipeline.h"
#include "spectrum.h"
#include "vocoder.h"

namespace {

std::atomic<long> liveEngines{0};

}  // namespace

Engine* engine_create() {
  Engine* e = new (std::nothrow) Engine{};
  if (e == nullptr) return nullptr;
  e->fft = fft_create();
  e->eq = eq_create();
  e->spectrum = spectrum_create();
  e->iir = iir_create();
  if (e->fft != nullptr && e->eq != nullptr && e->spectrum != nullptr) {
    e->vocoder = vocoder_create(*e->fft, *e->eq, *e->spectrum);
    e->fine = fine_create(*e->fft, *e->eq, *e->spectrum);
  }
  if (e->iir != nullptr && e->vocoder != nullptr && e->fine != nullptr)
    e->pipeline = pipeline_create(PipelineUnits{e->eq, e->iir, e->spectrum, e->vocoder, e->fine});
  if (e->pipeline == nullptr) {
    engine_destroy(e);
    return nullptr;
  }
  liveEngines.fetch_add(1, std::memory_order_relaxed);
  return e;
}

void engine_destroy(Engine* engine) {
  if (engine == nullptr) return;
  // Users first: the pipeline drives the units, and the vocoder and the fine
  // mode use the transform, the equaliser and the analyser.
  pipeline_destroy(engine->pipeline);
  fine_destroy(engine->fine);
  vocoder_destroy(engine->vocoder);
  iir_destroy(engine->iir);
  spectrum_destroy(engine->spectrum);
  eq_destroy(engine->eq);
  fft_destroy(engine->fft);
  if (engine->pipeline != nullptr) liveEngines.fetch_sub(1, std::memory_order_relaxed);
  delete engine;
}

long engine_count() {
  return liveEngines.load(std::memory_order_relaxed);
}

Engine* engine_default() {
  static std::atomic<Engine*> made{nullptr};
  static std::mutex making;
  Engine* e = made.load(std::memory_order_acquire);
  if (e != nullptr) return e;
  // Only the first calls of the process get here.
  std::lock_guard<std::mutex> lock(making);
  e = made.load(std::memory_order_relaxed);
  if (e == nullptr) {
    e = engine_create();
    made.store(e, std::memory_order_release);
  }
  return e;
}
