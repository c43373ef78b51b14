/* Machine-dependent JNI types for the MinGW builds of caldrix.dll.
 *
 * Windows JVMs call native methods with the __stdcall convention and, on 32-bit Windows, bind
 * them by their decorated names (_Name@bytes). jint is a 32-bit long there, as it is for every
 * Windows JVM, so that jint parameters and results match what the VM passes.
 *
 * JNIEXPORT is empty on purpose: the library's export table comes from its .def file alone, so
 * exactly the names the VM looks up are exported and nothing else leaks out. */
#ifndef CALDRIX_JNI_MD_H
#define CALDRIX_JNI_MD_H

#ifndef _WIN32
#error "cmake/jni_win/jni_md.h is for the Windows builds only"
#endif

#define JNIEXPORT
#define JNIIMPORT
#define JNICALL __stdcall

typedef long jint;
typedef long long jlong;
typedef signed char jbyte;

#endif /* CALDRIX_JNI_MD_H */
