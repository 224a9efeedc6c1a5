// Loads a libtambrino.so privately (RTLD_LOCAL) and finds its entry points,
// so that two builds of the engine can run side by side in one program.
#pragma once

#include <dlfcn.h>

#include <cstdio>
#include <string>

#include "../tests/golden/scenarios.h"

namespace bench {

// Returns false and says why in error when the library or a symbol is
// missing.
inline bool loadEngine(const std::string& path, golden::EngineApi& api, std::string& error) {
  void* handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* e = dlerror();
    error = e != nullptr ? e : ("cannot load " + path);
    return false;
  }
  api = golden::EngineApi{};
#define BENCH_FIND(field, method)                                                \
  api.field = reinterpret_cast<decltype(api.field)>(                             \
      dlsym(handle, "Java_quorvel_tambrino_NativeInterface_" #method));          \
  if (api.field == nullptr) {                                                    \
    error = path + ": no symbol Java_quorvel_tambrino_NativeInterface_" #method; \
    return false;                                                                \
  }
  GOLDEN_ENTRY_POINTS(BENCH_FIND)
#undef BENCH_FIND
  return true;
}

}  // namespace bench
