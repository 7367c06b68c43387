#include "ui/WindowMessages.h"

#include <atomic>
#include <new>

namespace kvl {
namespace {

struct alignas(64) Slot {
  alignas(std::max_align_t) unsigned char bytes[sizeof(ComRxMsg)];
  std::atomic<bool> used{false};
};
Slot kept[ComRxMsg::kSlots];

}  // namespace

void* ComRxMsg::operator new(std::size_t size) {
  if (size <= sizeof(Slot::bytes))
    for (Slot& slot : kept)
      if (!slot.used.load(std::memory_order_relaxed) && !slot.used.exchange(true, std::memory_order_acquire))
        return slot.bytes;
  return ::operator new(size);
}

void ComRxMsg::operator delete(void* p, std::size_t size) noexcept {
  for (Slot& slot : kept)
    if (p == slot.bytes) {
      slot.used.store(false, std::memory_order_release);
      return;
    }
  ::operator delete(p, size);
}

}  // namespace kvl
