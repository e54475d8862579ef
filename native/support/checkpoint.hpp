// Where long work of the core can be stopped: the token diff and the
// table scan call a checkpoint between blocks of their work. Plain C++ with
// no interpreter in it, so the core stays free of Python; what a
// checkpoint does is its owner's (support/threads.hpp takes the GIL back
// there to run signal handlers).
#pragma once

#include <cstddef>

namespace tavrix {

// The work counts units of its own as it goes (tokens read, characters of
// a pass, steps of a search: each a microsecond or less), and every
// `stride` units the owner's hook runs. The hook returns to go on or
// throws to abandon the work; everything the core holds is owned by RAII
// types, so abandoning it leaks nothing. A default checkpoint has no hook
// and never stops anything. Used by one thread at a time.
class checkpoint {
public:
    using hook = void (*)(void* owner);
    static constexpr std::ptrdiff_t stride = 4096;

    checkpoint() noexcept = default;
    checkpoint(hook h, void* owner) noexcept : hook_(h), owner_(owner) {}
    checkpoint(const checkpoint&) = delete;
    checkpoint& operator=(const checkpoint&) = delete;

    // `units` more done.
    void reached(std::size_t units = 1) {
        left_ -= static_cast<std::ptrdiff_t>(units);
        if (left_ < 0) [[unlikely]] ask();
    }

private:
    void ask() {
        left_ = stride;
        if (hook_) hook_(owner_);
    }

    hook hook_ = nullptr;
    void* owner_ = nullptr;
    std::ptrdiff_t left_ = stride;
};

// `poll` when given, for work whose checkpoint is optional.
inline void reached(checkpoint* poll, std::size_t units = 1) {
    if (poll) poll->reached(units);
}

}  // namespace tavrix
