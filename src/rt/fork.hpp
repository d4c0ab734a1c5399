#pragma once
// What a forked child inherits. The child is a copy of its parent's memory
// with one thread: whatever the parent's other threads held (a lock, a count,
// a queue half drained) stays held in it, and the servers, mounts and threads
// that the parent's objects stand for stay the parent's to end. So a child
// lets go of its copies without acting on them, and state that threads share
// is made afresh in it.
#include <atomic>
#include <cstdint>
#include <type_traits>
#include <utility>

namespace halvo::rt {

// Counts the forks on the way from the first process to this one: each
// forked child starts one past its parent.
std::uint64_t generation();

// Which process made something.
class Origin {
public:
    Origin() : generation_(generation()) {}
    // False in a forked child (or its children) of the process that made it.
    bool here() const { return generation_ == generation(); }

private:
    std::uint64_t generation_;
};

// Keeps a value for good without running its destructor: for a forked
// child's copy of something that its parent's threads or runtime still use,
// which the child must not touch, not even to destroy it.
template <class T>
void abandon(T&& value) {
    (void)new std::remove_cvref_t<T>(std::forward<T>(value));
}

// One T per process, made on first use and never destroyed. A forked child
// makes its own and leaves the parent's copy untouched, since threads that
// the child does not have may hold it half changed. T's constructor may run
// twice in a race, one of the two being dropped at once.
template <class T>
class PerProcess {
public:
    constexpr PerProcess() = default;
    PerProcess(const PerProcess&) = delete;
    PerProcess& operator=(const PerProcess&) = delete;

    T& get() {
        const std::uint64_t g = generation();
        Slot* s = slot_.load(std::memory_order_acquire);
        while (!s || s->generation != g) {
            auto* fresh = new Slot{g, {}};
            if (slot_.compare_exchange_strong(s, fresh, std::memory_order_acq_rel, std::memory_order_acquire))
                return fresh->value;
            delete fresh;
        }
        return s->value;
    }

private:
    struct Slot {
        std::uint64_t generation;
        T value;
    };
    std::atomic<Slot*> slot_{nullptr};  // the parent's, in a child, is left as it is
};

}  // namespace halvo::rt
