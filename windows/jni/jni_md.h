// SPDX-License-Identifier: Apache-2.0
// Machine-dependent JNI declarations for the Windows x64 build.
//
// The JDK on the build machine carries the Linux variant, whose exports rely on
// ELF symbol visibility and whose jlong is a 64-bit long. On Windows a long is
// only 32 bits wide and a DLL exports exactly what is marked dllexport, so the
// cross build takes this file instead.
#ifndef ZKPOS_WINDOWS_JNI_MD_H
#define ZKPOS_WINDOWS_JNI_MD_H

#define JNIEXPORT __declspec(dllexport)
#define JNIIMPORT __declspec(dllimport)
// The x64 calling convention is the same for every function; the JVM's own
// headers still mark JNI calls __stdcall, which the 64-bit compiler ignores.
#define JNICALL __stdcall

typedef int jint;
typedef long long jlong;
typedef signed char jbyte;

#endif
