/* The machine-dependent part of the JNI header for 64-bit Windows, where the
   build machine's JDK carries only its own: the types and calling convention
   of the Windows Java ABI (jint is a 32-bit long there). */
#ifndef TAMBRINO_JNI_MD_WIN32_H
#define TAMBRINO_JNI_MD_WIN32_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
#define JNICALL __stdcall

typedef long jint;
typedef __int64 jlong;
typedef signed char jbyte;

#endif
