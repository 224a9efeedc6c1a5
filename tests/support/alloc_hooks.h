// Counts, and on request fails, the heap allocations of a test executable:
// the global operator new and, where no sanitizer owns malloc, malloc and its
// family too (glibc allows replacing them; they forward to glibc's own
// allocator). Include it in exactly one source file of an executable: it
// defines the replacements.
//
// Only allocations made while `counting` is set count, and none made inside
// the fake virtual machine (HostEnv marks its calls): those are the host's,
// not the engine's.
#pragma once

#include <jni.h>

#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <new>

#include "fake_jni.h"

#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
#define TAMBRINO_SANITIZED 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
#define TAMBRINO_SANITIZED 1
#endif
#endif

namespace allochooks {

inline std::atomic<bool> counting{false};
inline std::atomic<long> allocations{0};
// The counted allocation with this index (0 = the first) fails; -1: none.
inline std::atomic<long> failAt{-1};
inline thread_local bool hostCall = false;

// Counts an allocation; false when it is the one to fail.
inline bool admit() {
  if (!counting.load(std::memory_order_relaxed) || hostCall) return true;
  return allocations.fetch_add(1) != failAt.load(std::memory_order_relaxed);
}

struct HostScope {
  HostScope() : was(hostCall) { hostCall = true; }
  ~HostScope() { hostCall = was; }
  bool was;
};

// A fake virtual machine whose own allocations (array copies, class names,
// exception messages) are neither counted nor failed.
template <typename T, fakejni::Kind K>
T* JNICALL hostGet(JNIEnv* e, jarray a, jboolean* isCopy) {
  HostScope host;
  return fakejni::getElements<T, K>(e, a, isCopy);
}
inline jclass JNICALL hostFindClass(JNIEnv* e, const char* name) {
  HostScope host;
  return fakejni::findClass(e, name);
}
inline jint JNICALL hostThrowNew(JNIEnv* e, jclass cls, const char* msg) {
  HostScope host;
  return fakejni::throwNew(e, cls, msg);
}

struct HostEnv : fakejni::Env {
  HostEnv() {
    table.GetShortArrayElements = reinterpret_cast<jshort*(JNICALL*)(JNIEnv*, jshortArray, jboolean*)>(
        &hostGet<jshort, fakejni::Kind::Short>);
    table.GetFloatArrayElements = reinterpret_cast<jfloat*(JNICALL*)(JNIEnv*, jfloatArray, jboolean*)>(
        &hostGet<jfloat, fakejni::Kind::Float>);
    table.GetDoubleArrayElements = reinterpret_cast<jdouble*(JNICALL*)(JNIEnv*, jdoubleArray, jboolean*)>(
        &hostGet<jdouble, fakejni::Kind::Double>);
    table.FindClass = hostFindClass;
    table.ThrowNew = hostThrowNew;
  }
};

}  // namespace allochooks

// The new operators count once: the malloc underneath is not counted again.
inline void* allochooksNew(std::size_t n) {
  if (!allochooks::admit()) throw std::bad_alloc();
  allochooks::HostScope inner;
  void* p = std::malloc(n == 0 ? 1 : n);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

inline void* allochooksNewAligned(std::size_t n, std::align_val_t align) {
  if (!allochooks::admit()) throw std::bad_alloc();
  allochooks::HostScope inner;
  const std::size_t a = static_cast<std::size_t>(align);
  void* p = std::aligned_alloc(a, (n + a - 1) / a * a);
  if (p == nullptr) throw std::bad_alloc();
  return p;
}

void* operator new(std::size_t n) {
  return allochooksNew(n);
}
void* operator new[](std::size_t n) {
  return allochooksNew(n);
}
void* operator new(std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allochooksNew(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, const std::nothrow_t&) noexcept {
  try {
    return allochooksNew(n);
  } catch (...) {
    return nullptr;
  }
}
void* operator new(std::size_t n, std::align_val_t a) {
  return allochooksNewAligned(n, a);
}
void* operator new[](std::size_t n, std::align_val_t a) {
  return allochooksNewAligned(n, a);
}
// The over-aligned forms without exceptions too: a sanitizer provides its own
// otherwise, whose blocks the operators delete below would not own.
void* operator new(std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return allochooksNewAligned(n, a);
  } catch (...) {
    return nullptr;
  }
}
void* operator new[](std::size_t n, std::align_val_t a, const std::nothrow_t&) noexcept {
  try {
    return allochooksNewAligned(n, a);
  } catch (...) {
    return nullptr;
  }
}
void operator delete(void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t, const std::nothrow_t&) noexcept {
  std::free(p);
}
void operator delete(void* p) noexcept {
  std::free(p);
}
void operator delete[](void* p) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete(void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}
void operator delete[](void* p, std::size_t, std::align_val_t) noexcept {
  std::free(p);
}

#ifndef TAMBRINO_SANITIZED
// A sanitizer intercepts these itself.
extern "C" {
void* __libc_malloc(std::size_t);
void* __libc_calloc(std::size_t, std::size_t);
void* __libc_realloc(void*, std::size_t);
void* __libc_memalign(std::size_t, std::size_t);
void __libc_free(void*);

void* malloc(std::size_t n) {
  return allochooks::admit() ? __libc_malloc(n) : nullptr;
}
void* calloc(std::size_t count, std::size_t n) {
  return allochooks::admit() ? __libc_calloc(count, n) : nullptr;
}
void* realloc(void* p, std::size_t n) {
  return allochooks::admit() ? __libc_realloc(p, n) : nullptr;
}
void* memalign(std::size_t align, std::size_t n) {
  return allochooks::admit() ? __libc_memalign(align, n) : nullptr;
}
void* aligned_alloc(std::size_t align, std::size_t n) {
  return allochooks::admit() ? __libc_memalign(align, n) : nullptr;
}
int posix_memalign(void** out, std::size_t align, std::size_t n) {
  if (!allochooks::admit()) return ENOMEM;
  void* p = __libc_memalign(align, n);
  if (p == nullptr) return ENOMEM;
  *out = p;
  return 0;
}
void free(void* p) {
  __libc_free(p);
}
}
#endif
