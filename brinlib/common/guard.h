// No exception may cross the C boundary: every exported function runs its body
// through guarded(), which turns an escaping exception (in practice only
// std::bad_alloc) into a failure code.
#pragma once
#include <cstdint>
#include <exception>

#include "velmora/message.h"

namespace brin {

template <typename Body>
int32_t guarded(int32_t on_exception, Body&& body) noexcept {
  try {
    return body();
  } catch (const std::exception& e) {
    vp::debug_printf("brinlib: %s\n", e.what());
  } catch (...) {
    vp::debug_printf("brinlib: unexpected exception\n");
  }
  return on_exception;
}

}  // namespace brin
