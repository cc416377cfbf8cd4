// Every export is a thin wrapper: it checks its arguments and lets no
// exception cross the C interface, except the forced unwind of a host
// thread that is cancelled or exits inside the library, which must pass
// (so the wrapper is not noexcept).
#pragma once

#include <cstdint>

#include "common/forced_unwind.h"

template <class F>
uint8_t Guarded(F&& body) {
  try {
    return body() ? 1 : 0;
  } catch (const ForcedUnwind&) {
    throw;
  } catch (...) {
    return 0;
  }
}
