#include "platform/midi.h"

#include <atomic>
#include <cstdlib>

namespace midi {
namespace {
std::atomic<Backend*> current{nullptr};
}

void SetBackend(Backend* backend) { current.store(backend, std::memory_order_release); }

Backend& CurrentBackend() {
    Backend* b = current.load(std::memory_order_acquire);
    // Calling a device before a backend is chosen is a programming error; stop
    // rather than guess which devices were meant.
    if (!b) std::abort();
    return *b;
}

}  // namespace midi
