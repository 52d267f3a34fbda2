#pragma once
// Lets an owner's hooks run only while the owner lives: work on other threads runs a
// hook through the gate, and closing the gate (in the owner's destructor) waits for the
// hooks in progress; after close() returns no hook runs any more.

#include <atomic>
#include <cstdint>
#include <utility>

namespace qm {

class HookGate {
public:
    // Runs f unless the gate is closed; true when it ran. f must not close this gate.
    template <class F>
    bool run(F&& f) {
        if (!enter()) return false;
        struct Leave {
            HookGate& gate;
            ~Leave() { gate.leave(); }
        } leave{*this};
        std::forward<F>(f)();
        return true;
    }

    // Waits for the hooks in progress; later ones do not run. Not from within a hook.
    void close() noexcept {
        closed_.store(true);
        for (std::uint32_t n; (n = running_.load()) != 0;) running_.wait(n);
    }

    bool isClosed() const noexcept { return closed_.load(); }

private:
    // Sequentially consistent: a hook that enters after close() has set the flag sees it,
    // and close() sees every hook that entered before.
    bool enter() noexcept {
        running_.fetch_add(1);
        if (!closed_.load()) return true;
        leave();
        return false;
    }
    void leave() noexcept {
        if (running_.fetch_sub(1) == 1) running_.notify_all();
    }

    std::atomic<std::uint32_t> running_{0};
    std::atomic<bool> closed_{false};
};

}  // namespace qm
