// A value that the host's thread and the library's own threads both touch.
// Loads and stores are relaxed atomics, so a field read while another thread
// writes it is a well-defined, untorn value; it has the size of T, and reads
// and writes like a plain T.  Synchronisation between threads goes through
// the std::atomic flags and counts that order them (a run's going flag,
// its ring's unread count, ...), not through these.
#pragma once

#include <atomic>
#include <type_traits>

template <class T>
class Shared {
 public:
  constexpr Shared() noexcept : v_(T{}) {}
  constexpr Shared(T v) noexcept : v_(v) {}  // NOLINT(google-explicit-constructor)
  Shared(const Shared& other) noexcept : v_(other.load()) {}
  Shared& operator=(const Shared& other) noexcept { store(other.load()); return *this; }
  Shared& operator=(T v) noexcept { store(v); return *this; }

  operator T() const noexcept { return load(); }  // NOLINT(google-explicit-constructor)
  T load() const noexcept { return v_.load(std::memory_order_relaxed); }
  void store(T v) noexcept { v_.store(v, std::memory_order_relaxed); }

  // Read-modify-write by the field's one writer; not indivisible.
  template <class U> Shared& operator+=(U d) noexcept { store(static_cast<T>(load() + d)); return *this; }
  template <class U> Shared& operator-=(U d) noexcept { store(static_cast<T>(load() - d)); return *this; }
  template <class U> Shared& operator*=(U d) noexcept { store(static_cast<T>(load() * d)); return *this; }
  template <class U> Shared& operator>>=(U d) noexcept { store(static_cast<T>(load() >> d)); return *this; }
  template <class U> Shared& operator<<=(U d) noexcept { store(static_cast<T>(load() << d)); return *this; }
  template <class U> Shared& operator&=(U d) noexcept { store(static_cast<T>(load() & d)); return *this; }
  template <class U> Shared& operator|=(U d) noexcept { store(static_cast<T>(load() | d)); return *this; }
  Shared& operator++() noexcept { store(static_cast<T>(load() + 1)); return *this; }
  Shared& operator--() noexcept { store(static_cast<T>(load() - 1)); return *this; }
  T operator++(int) noexcept { T old = load(); store(static_cast<T>(old + 1)); return old; }
  T operator--(int) noexcept { T old = load(); store(static_cast<T>(old - 1)); return old; }

 private:
  std::atomic<T> v_;
};
