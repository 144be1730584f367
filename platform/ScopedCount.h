// Raises a counter for the lifetime of a scope and lowers it again on every
// way out, exceptions included: how deep a re-entrant call currently is
// (a delivery running inside a delivery, a blocking call inside another).
#pragma once

namespace platform {

class TScopedCount {
public:
    explicit TScopedCount(int& Count) : FCount(Count) { ++FCount; }
    ~TScopedCount() { --FCount; }
    TScopedCount(const TScopedCount&) = delete;
    TScopedCount& operator=(const TScopedCount&) = delete;

private:
    int& FCount;
};

} // namespace platform
