// export.h — marks the functions a shared library of this system exports (all others are hidden).
#pragma once

#if defined(_WIN32)
#define KAVI_EXPORT __declspec(dllexport)
#else
#define KAVI_EXPORT __attribute__((visibility("default")))
#endif
