/* Counts the C-heap allocations that one thread makes, for the JVM
 * no-allocation check. Loaded with LD_PRELOAD, so that it stands in for
 * malloc and its family in the whole process (the virtual machine and the
 * engine alike); every call goes on to glibc's own allocator. The Java class
 * quorvel.tambrino.stress.MallocCounter System.load()s the same file to
 * reach start() and stop(), which count on the thread that calls them.
 */
#define _GNU_SOURCE
#include <dlfcn.h>
#include <errno.h>
#include <jni.h>
#include <stddef.h>

extern void* __libc_malloc(size_t);
extern void* __libc_calloc(size_t, size_t);
extern void* __libc_realloc(void*, size_t);
extern void* __libc_memalign(size_t, size_t);
extern void* __libc_valloc(size_t);
extern void* __libc_pvalloc(size_t);

/* Initial-exec: reading it never allocates, even from inside malloc. */
static __thread int counting __attribute__((tls_model("initial-exec")));
static __thread long counted __attribute__((tls_model("initial-exec")));

static inline void note(void) {
  if (counting) counted++;
}

void* malloc(size_t n) {
  note();
  return __libc_malloc(n);
}
void* calloc(size_t count, size_t n) {
  note();
  return __libc_calloc(count, n);
}
void* realloc(void* p, size_t n) {
  note();
  return __libc_realloc(p, n);
}
void* memalign(size_t align, size_t n) {
  note();
  return __libc_memalign(align, n);
}
void* aligned_alloc(size_t align, size_t n) {
  note();
  return __libc_memalign(align, n);
}
void* valloc(size_t n) {
  note();
  return __libc_valloc(n);
}
void* pvalloc(size_t n) {
  note();
  return __libc_pvalloc(n);
}
int posix_memalign(void** out, size_t align, size_t n) {
  note();
  void* p = __libc_memalign(align, n);
  if (p == NULL) return ENOMEM;
  *out = p;
  return 0;
}

JNIEXPORT void JNICALL Java_quorvel_tambrino_stress_MallocCounter_start(JNIEnv* env, jclass cls) {
  (void)env;
  (void)cls;
  counted = 0;
  counting = 1;
}

JNIEXPORT jlong JNICALL Java_quorvel_tambrino_stress_MallocCounter_stop(JNIEnv* env, jclass cls) {
  (void)env;
  (void)cls;
  counting = 0;
  return counted;
}

/* Whether this library really stands in for malloc (it was preloaded): the
 * process's malloc is then this one. */
JNIEXPORT jboolean JNICALL Java_quorvel_tambrino_stress_MallocCounter_active(JNIEnv* env, jclass cls) {
  (void)env;
  (void)cls;
  return dlsym(RTLD_DEFAULT, "malloc") == (void*)malloc ? JNI_TRUE : JNI_FALSE;
}
