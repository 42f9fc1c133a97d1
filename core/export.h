// What the shared library shows its users.
//
// VOR_API marks the library's interface: every public class and function,
// and the static data members its users read. Building the Windows DLL it
// exports them and a user's program imports them; on Linux the library is
// built with everything else hidden, so these are its only symbols. A static
// build (VOR_STATIC) needs none of it.
#pragma once

#if defined(VOR_STATIC)
#define VOR_API
#elif defined(_WIN32)
#if defined(VOR_BUILDING)
#define VOR_API __declspec(dllexport)
#else
#define VOR_API __declspec(dllimport)
#endif
#else
#define VOR_API __attribute__((visibility("default")))
#endif

// The system's own classes are named after the system they sit on:
// Win32File in the Windows build, PosixFile in the Linux one.
#if defined(_WIN32)
#define VOR_NATIVE(name) Win32##name
#else
#define VOR_NATIVE(name) Posix##name
#endif
