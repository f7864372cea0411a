// iexport.hpp — the one place that marks the support library's classes as exported.
#pragma once

#if defined(_WIN32)
#define KAVI_CLASS __declspec(dllexport)
#else
#define KAVI_CLASS __attribute__((visibility("default")))
#endif
