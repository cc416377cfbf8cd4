// A count of system calls per thread, for the scan benchmark.
//
// The calls the library and the lean reader make on a port and on a
// thread's wake-up are defined here in the benchmark's own program, in front
// of the C library's: each counts one call of its thread and passes it on.
// Calls the C library makes inside itself (the write under an fflush, the
// ioctl under isatty) are counted as the one call that made them.  Include
// this header from one file of one program only.
#pragma once

#include <dlfcn.h>
#include <poll.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>
#include <unistd.h>

#include <atomic>
#include <cstdarg>
#include <cstdio>

#include "scan_measure.h"

namespace q583bench {

struct SyscallSlot {
  std::atomic<int> tid{0};
  std::atomic<uint64_t> calls{0};
};
constexpr int kSyscallSlots = 512;
inline SyscallSlot gSyscallSlots[kSyscallSlots];
inline std::atomic<int> gSyscallSlotsUsed{0};

// The calling thread's slot, taken at its first counted call.
inline SyscallSlot* ThisThreadSlot() {
  thread_local SyscallSlot* slot = nullptr;
  if (slot == nullptr) {
    const int index = gSyscallSlotsUsed.fetch_add(1);
    if (index >= kSyscallSlots) return nullptr;
    slot = &gSyscallSlots[index];
    slot->tid = static_cast<int>(gettid());
  }
  return slot;
}

inline void CountSyscall() {
  if (SyscallSlot* slot = ThisThreadSlot()) slot->calls.fetch_add(1, std::memory_order_relaxed);
}

inline uint64_t SyscallsOfThread(int tid) {
  const int used = std::min(gSyscallSlotsUsed.load(), kSyscallSlots);
  for (int i = 0; i < used; ++i)
    if (gSyscallSlots[i].tid == tid) return gSyscallSlots[i].calls.load();
  return 0;
}

// Installs the count into the measurement before the first run.
inline const bool kSyscallCountInstalled = (gSyscallsOfThread = &SyscallsOfThread, true);

template <class Fn>
Fn Next(const char* name) {
  return reinterpret_cast<Fn>(dlsym(RTLD_NEXT, name));
}

}  // namespace q583bench

extern "C" {

ssize_t read(int fd, void* buffer, size_t n) {
  static const auto real = q583bench::Next<ssize_t (*)(int, void*, size_t)>("read");
  q583bench::CountSyscall();
  return real(fd, buffer, n);
}

ssize_t write(int fd, const void* buffer, size_t n) {
  static const auto real = q583bench::Next<ssize_t (*)(int, const void*, size_t)>("write");
  q583bench::CountSyscall();
  return real(fd, buffer, n);
}

int ioctl(int fd, unsigned long request, ...) noexcept {
  va_list args;
  va_start(args, request);
  void* arg = va_arg(args, void*);
  va_end(args);
  static const auto real = q583bench::Next<int (*)(int, unsigned long, ...)>("ioctl");
  q583bench::CountSyscall();
  return real(fd, request, arg);
}

int poll(pollfd* fds, nfds_t n, int ms) {
  static const auto real = q583bench::Next<int (*)(pollfd*, nfds_t, int)>("poll");
  q583bench::CountSyscall();
  return real(fds, n, ms);
}

int ppoll(pollfd* fds, nfds_t n, const timespec* timeout, const sigset_t* mask) {
  static const auto real =
      q583bench::Next<int (*)(pollfd*, nfds_t, const timespec*, const sigset_t*)>("ppoll");
  q583bench::CountSyscall();
  return real(fds, n, timeout, mask);
}

int isatty(int fd) noexcept {
  static const auto real = q583bench::Next<int (*)(int)>("isatty");
  q583bench::CountSyscall();
  return real(fd);
}

int tcgetattr(int fd, termios* tio) noexcept {
  static const auto real = q583bench::Next<int (*)(int, termios*)>("tcgetattr");
  q583bench::CountSyscall();
  return real(fd, tio);
}

int usleep(useconds_t us) {
  static const auto real = q583bench::Next<int (*)(useconds_t)>("usleep");
  q583bench::CountSyscall();
  return real(us);
}

int fflush(FILE* stream) {
  static const auto real = q583bench::Next<int (*)(FILE*)>("fflush");
  q583bench::CountSyscall();
  return real(stream);
}

}  // extern "C"
