// Repeating a system call that a signal interrupted. Only the lowest layer
// of each link (its OS table) retries; nothing above it does.
#pragma once

#include <cerrno>

namespace kvl {

template <typename Call>
auto RetryOnEintr(Call call) {
  decltype(call()) result;
  do {
    result = call();
  } while (result < 0 && errno == EINTR);
  return result;
}

}  // namespace kvl
