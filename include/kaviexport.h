/* kaviexport.h — the one place that marks what the libraries of this system export, and the
 * calling convention of their C calls. Compiles as C99 and as C++.
 *   KAVI_BUILDING_LIBRARY  set by the build while it compiles a shared library of the system;
 *   KAVI_STATIC            set for code linked with the static libraries (the testing twins);
 *   neither                a program that uses the shared libraries, which imports. */
#ifndef KAVIEXPORT_H
#define KAVIEXPORT_H

/** KAVI_API marks an exported call or class; everything else is hidden. */
#if defined(_WIN32) && defined(KAVI_STATIC)
#define KAVI_API
#elif defined(_WIN32) && defined(KAVI_BUILDING_LIBRARY)
#define KAVI_API __declspec(dllexport)
#elif defined(_WIN32)
#define KAVI_API __declspec(dllimport)
#else
#define KAVI_API __attribute__((visibility("default")))
#endif

/** KAVI_CALL is the calling convention of the exit library's calls and of the exit function. */
#if defined(_WIN32) && !defined(_WIN64)
#define KAVI_CALL __stdcall
#else
#define KAVI_CALL
#endif

#endif
