// The forced unwind of a thread that is cancelled or exits (pthread_cancel,
// pthread_exit).  glibc ends such a thread by an exception that must pass
// through every frame: a catch-all that swallows it, or a noexcept frame on
// its way, aborts the whole process.  Every catch-all on a path that a host
// thread or a library thread can unwind through rethrows it first:
//
//   catch (const ForcedUnwind&) { throw; }
//   catch (...) { ... }
//
// Where no such exception exists (Windows, other C++ runtimes) the type is
// one that is never thrown.
#pragma once

#if defined(__GLIBCXX__) && !defined(_WIN32)
#include <cxxabi.h>
#endif

#if defined(__GLIBCXX__) && !defined(_WIN32)
using ForcedUnwind = abi::__forced_unwind;
#else
struct ForcedUnwind {};
#endif
