// The platform layer's functions are part of the shared library but not of
// its installed interface: the library's own tests reach them, so they are
// exported like the public classes (see core/export.h, which this mirrors;
// the platform layer sits below it and includes nothing above).
#pragma once

#if defined(VOR_STATIC)
#define VOR_PLATFORM_API
#elif defined(_WIN32)
#if defined(VOR_BUILDING)
#define VOR_PLATFORM_API __declspec(dllexport)
#else
#define VOR_PLATFORM_API __declspec(dllimport)
#endif
#else
#define VOR_PLATFORM_API __attribute__((visibility("default")))
#endif

// VOR_HOT: the functions every message passes through, kept together by
// the compiler (see core/export.h, which defines the same).
#if !defined(VOR_HOT)
#if defined(__GNUC__)
#define VOR_HOT __attribute__((hot))
#else
#define VOR_HOT
#endif
#endif
