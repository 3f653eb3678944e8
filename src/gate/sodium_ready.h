// libsodium needs one initialisation per process before its random generator is used.
#pragma once

#include <sodium.h>

namespace torvesk {

// Safe to call from any thread, any number of times; the first call initialises the library.
// False only when the system offers no random source.
inline bool sodium_ready() {
  static const bool ready = sodium_init() >= 0;
  return ready;
}

}  // namespace torvesk
