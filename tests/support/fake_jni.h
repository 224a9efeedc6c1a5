// A minimal, strict JNIEnv for driving the engine's entry points without a
// Java virtual machine: in benchmarks, golden-output checks and fuzzing.
//
// Arrays are heap objects of exactly their length. Get<T>ArrayElements hands
// out a separate exact-size copy (as a virtual machine may), so an overrun is
// caught by AddressSanitizer, and Release copies back according to the mode;
// the region calls copy exactly the range asked for, after a bounds check.
// Exceptions are recorded; calling any JNI function that is not modelled here
// aborts loudly instead of silently misbehaving.
#pragma once

#include <jni.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <string>
#include <vector>

namespace fakejni {

enum class Kind { Short, Float, Double };

struct Array {
  Kind kind;
  std::vector<unsigned char> bytes;
  jsize length;
  int pinned = 0;  // outstanding Get<T>ArrayElements copies
};

inline size_t elementSize(Kind k) {
  return k == Kind::Short ? sizeof(jshort) : k == Kind::Float ? sizeof(jfloat) : sizeof(jdouble);
}

struct Env : JNIEnv {
  JNINativeInterface_ table{};
  std::string pendingClass;  // empty: no exception pending
  std::string pendingMessage;
  // Simulates a virtual machine out of memory: the next Get<T>ArrayElements
  // or Get<T>ArrayRegion raises OutOfMemoryError and hands out nothing.
  bool failNextGet = false;
  std::vector<Array*> owned;

  Env();
  ~Env() {
    for (Array* a : owned) delete a;
  }
  Env(const Env&) = delete;
  Env& operator=(const Env&) = delete;

  static Env* of(JNIEnv* e) { return static_cast<Env*>(e); }

  Array* make(Kind kind, jsize length) {
    auto* a =
        new Array{kind, std::vector<unsigned char>(static_cast<size_t>(length) * elementSize(kind)), length};
    owned.push_back(a);
    return a;
  }
  jshortArray shorts(const std::vector<jshort>& v) {
    Array* a = make(Kind::Short, static_cast<jsize>(v.size()));
    if (!v.empty()) std::memcpy(a->bytes.data(), v.data(), v.size() * sizeof(jshort));
    return reinterpret_cast<jshortArray>(a);
  }
  jfloatArray floats(const std::vector<jfloat>& v) {
    Array* a = make(Kind::Float, static_cast<jsize>(v.size()));
    if (!v.empty()) std::memcpy(a->bytes.data(), v.data(), v.size() * sizeof(jfloat));
    return reinterpret_cast<jfloatArray>(a);
  }
  jdoubleArray doubles(const std::vector<jdouble>& v) {
    Array* a = make(Kind::Double, static_cast<jsize>(v.size()));
    if (!v.empty()) std::memcpy(a->bytes.data(), v.data(), v.size() * sizeof(jdouble));
    return reinterpret_cast<jdoubleArray>(a);
  }
  template <typename T>
  static std::vector<T> read(jarray arr) {
    const Array* a = reinterpret_cast<const Array*>(arr);
    std::vector<T> v(static_cast<size_t>(a->length));
    if (!v.empty()) std::memcpy(v.data(), a->bytes.data(), v.size() * sizeof(T));
    return v;
  }
  template <typename T>
  static void write(jarray arr, const std::vector<T>& v) {
    Array* a = reinterpret_cast<Array*>(arr);
    std::memcpy(a->bytes.data(), v.data(), std::min(v.size() * sizeof(T), a->bytes.size()));
  }
  // Returns the pending exception's class ("" if none) and clears it.
  std::string takeException() {
    std::string c = pendingClass;
    pendingClass.clear();
    pendingMessage.clear();
    return c;
  }
};

[[noreturn]] inline void fail(const char* what) {
  std::fprintf(stderr, "fake JNIEnv: %s\n", what);
  std::abort();
}

inline Array* arrayOf(jarray arr, Kind kind) {
  if (arr == nullptr) fail("null array passed to a JNI array function");
  Array* a = reinterpret_cast<Array*>(arr);
  if (a->kind != kind) fail("array of the wrong element type");
  return a;
}

template <typename T, Kind K>
T* JNICALL getElements(JNIEnv* e, jarray arr, jboolean* isCopy) {
  Env* env = Env::of(e);
  if (!env->pendingClass.empty()) fail("Get<T>ArrayElements with an exception pending");
  Array* a = arrayOf(arr, K);
  if (isCopy != nullptr) *isCopy = JNI_TRUE;
  if (env->failNextGet) {
    env->failNextGet = false;
    env->pendingClass = "java/lang/OutOfMemoryError";
    return nullptr;
  }

  // malloc(0) may return null, which would read as a failure: keep at least 1.
  T* copy = static_cast<T*>(std::malloc(std::max<size_t>(1, a->bytes.size())));
  if (!a->bytes.empty()) std::memcpy(copy, a->bytes.data(), a->bytes.size());
  a->pinned++;
  return copy;
}

template <typename T, Kind K>
void JNICALL releaseElements(JNIEnv*, jarray arr, T* elems, jint mode) {
  Array* a = arrayOf(arr, K);
  if (elems == nullptr) fail("Release<T>ArrayElements with null elements");
  if (a->pinned <= 0) fail("Release<T>ArrayElements without a matching Get");
  if (mode == 0 || mode == JNI_COMMIT) {
    if (!a->bytes.empty()) std::memcpy(a->bytes.data(), elems, a->bytes.size());
  }
  if (mode == 0 || mode == JNI_ABORT) {
    std::free(elems);
    a->pinned--;
  }
}

template <typename T, Kind K>
void JNICALL getRegion(JNIEnv* e, jarray arr, jsize start, jsize len, T* buf) {
  Env* env = Env::of(e);
  if (!env->pendingClass.empty()) fail("Get<T>ArrayRegion with an exception pending");
  Array* a = arrayOf(arr, K);
  if (env->failNextGet) {
    env->failNextGet = false;
    env->pendingClass = "java/lang/OutOfMemoryError";
    return;
  }
  if (start < 0 || len < 0 || start > a->length - len) {
    Env::of(e)->pendingClass = "java/lang/ArrayIndexOutOfBoundsException";
    return;
  }
  if (len > 0) std::memcpy(buf, a->bytes.data() + static_cast<size_t>(start) * sizeof(T), len * sizeof(T));
}

template <typename T, Kind K>
void JNICALL setRegion(JNIEnv* e, jarray arr, jsize start, jsize len, const T* buf) {
  if (!Env::of(e)->pendingClass.empty()) fail("Set<T>ArrayRegion with an exception pending");
  Array* a = arrayOf(arr, K);
  if (start < 0 || len < 0 || start > a->length - len) {
    Env::of(e)->pendingClass = "java/lang/ArrayIndexOutOfBoundsException";
    return;
  }
  if (len > 0) std::memcpy(a->bytes.data() + static_cast<size_t>(start) * sizeof(T), buf, len * sizeof(T));
}

inline jsize JNICALL getArrayLength(JNIEnv*, jarray arr) {
  if (arr == nullptr) fail("GetArrayLength on null");
  return reinterpret_cast<Array*>(arr)->length;
}

// Classes are represented by their interned name.
inline jclass JNICALL findClass(JNIEnv*, const char* name) {
  static std::deque<std::string> names;  // stable addresses, freed at exit
  for (std::string& s : names)
    if (s == name) return reinterpret_cast<jclass>(&s);
  names.emplace_back(name);
  return reinterpret_cast<jclass>(&names.back());
}

inline jint JNICALL throwNew(JNIEnv* e, jclass cls, const char* msg) {
  Env* env = Env::of(e);
  if (cls == nullptr) fail("ThrowNew with a null class");
  env->pendingClass = *reinterpret_cast<std::string*>(cls);
  env->pendingMessage = msg != nullptr ? msg : "";
  return 0;
}

inline jboolean JNICALL exceptionCheck(JNIEnv* e) {
  return Env::of(e)->pendingClass.empty() ? JNI_FALSE : JNI_TRUE;
}
inline jthrowable JNICALL exceptionOccurred(JNIEnv* e) {
  Env* env = Env::of(e);
  return env->pendingClass.empty() ? nullptr : reinterpret_cast<jthrowable>(&env->pendingClass);
}
inline void JNICALL exceptionClear(JNIEnv* e) {
  Env::of(e)->pendingClass.clear();
}
inline void JNICALL deleteLocalRef(JNIEnv*, jobject) {}

inline void JNICALL unmodelled() {
  fail("a JNI function that the fake does not model was called");
}

inline Env::Env() {
  // Every slot traps first; the modelled functions are filled in below.
  void** slots = reinterpret_cast<void**>(&table);
  for (size_t i = 0; i < sizeof(table) / sizeof(void*); i++) slots[i] = reinterpret_cast<void*>(&unmodelled);
  table.reserved0 = table.reserved1 = table.reserved2 = table.reserved3 = nullptr;
  table.GetArrayLength = getArrayLength;
  table.GetShortArrayElements =
      reinterpret_cast<jshort*(JNICALL*)(JNIEnv*, jshortArray, jboolean*)>(&getElements<jshort, Kind::Short>);
  table.ReleaseShortArrayElements = reinterpret_cast<void(JNICALL*)(JNIEnv*, jshortArray, jshort*, jint)>(
      &releaseElements<jshort, Kind::Short>);
  table.GetFloatArrayElements =
      reinterpret_cast<jfloat*(JNICALL*)(JNIEnv*, jfloatArray, jboolean*)>(&getElements<jfloat, Kind::Float>);
  table.ReleaseFloatArrayElements = reinterpret_cast<void(JNICALL*)(JNIEnv*, jfloatArray, jfloat*, jint)>(
      &releaseElements<jfloat, Kind::Float>);
  table.GetDoubleArrayElements = reinterpret_cast<jdouble*(JNICALL*)(JNIEnv*, jdoubleArray, jboolean*)>(
      &getElements<jdouble, Kind::Double>);
  table.ReleaseDoubleArrayElements = reinterpret_cast<void(JNICALL*)(JNIEnv*, jdoubleArray, jdouble*, jint)>(
      &releaseElements<jdouble, Kind::Double>);
  table.GetShortArrayRegion = reinterpret_cast<void(JNICALL*)(JNIEnv*, jshortArray, jsize, jsize, jshort*)>(
      &getRegion<jshort, Kind::Short>);
  table.GetFloatArrayRegion = reinterpret_cast<void(JNICALL*)(JNIEnv*, jfloatArray, jsize, jsize, jfloat*)>(
      &getRegion<jfloat, Kind::Float>);
  table.GetDoubleArrayRegion =
      reinterpret_cast<void(JNICALL*)(JNIEnv*, jdoubleArray, jsize, jsize, jdouble*)>(
          &getRegion<jdouble, Kind::Double>);
  table.SetShortArrayRegion =
      reinterpret_cast<void(JNICALL*)(JNIEnv*, jshortArray, jsize, jsize, const jshort*)>(
          &setRegion<jshort, Kind::Short>);
  table.SetFloatArrayRegion =
      reinterpret_cast<void(JNICALL*)(JNIEnv*, jfloatArray, jsize, jsize, const jfloat*)>(
          &setRegion<jfloat, Kind::Float>);
  table.FindClass = findClass;
  table.ThrowNew = throwNew;
  table.ExceptionCheck = exceptionCheck;
  table.ExceptionOccurred = exceptionOccurred;
  table.ExceptionClear = exceptionClear;
  table.DeleteLocalRef = deleteLocalRef;
  functions = &table;
}

}  // namespace fakejni
