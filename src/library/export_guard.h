// Every export is a thin wrapper: it checks its arguments and lets no
// exception cross the C interface.
#pragma once

#include <cstdint>

template <class F>
uint8_t Guarded(F&& body) noexcept {
  try {
    return body() ? 1 : 0;
  } catch (...) {
    return 0;
  }
}
