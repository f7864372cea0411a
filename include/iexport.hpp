// iexport.hpp — the one place that marks the support library's and the exported classes as
// exported: the library that holds them exports them, a program that uses them imports them.
#pragma once

#if defined(_WIN32)
#if defined(KAVI_BUILDING_LIBRARY)
#define KAVI_CLASS __declspec(dllexport)
#else
#define KAVI_CLASS __declspec(dllimport)
#endif
#else
#define KAVI_CLASS __attribute__((visibility("default")))
#endif
