#pragma once
// A value that one thread writes and another reads without a lock: a flag, a setting
// or a table entry that the worker reads while the user-interface thread changes it.
// Each read and write is whole; no ordering with other memory is promised (none is
// needed: a change takes effect from the next message or beat). Being an atomic, it
// keeps the program free of data races, which is what ThreadSanitizer checks.
#include <atomic>

template <class T>
class Relaxed {
public:
    constexpr Relaxed(T v = T()) noexcept : value_(v) {}
    Relaxed(const Relaxed& other) noexcept : value_(other.load()) {}
    Relaxed& operator=(const Relaxed& other) noexcept { store(other.load()); return *this; }
    Relaxed& operator=(T v) noexcept { store(v); return *this; }
    operator T() const noexcept { return load(); }
    T load() const noexcept { return value_.load(std::memory_order_relaxed); }
    void store(T v) noexcept { value_.store(v, std::memory_order_relaxed); }

private:
    std::atomic<T> value_;
};
