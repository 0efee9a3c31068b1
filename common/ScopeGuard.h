// Runs an action when the scope ends, on every path out of it, unless dismissed first.
// For the one-off clean-ups that have no owner class of their own.
#pragma once

#include <utility>

namespace keyrix {

template <class TAction>
class TScopeGuard {
public:
    explicit TScopeGuard(TAction action) : FAction(std::move(action)) {}
    TScopeGuard(const TScopeGuard&) = delete;
    TScopeGuard& operator=(const TScopeGuard&) = delete;
    // The action runs during unwinding too, so it must not throw.
    ~TScopeGuard() {
        if (FActive) FAction();
    }

    // The normal path took care of it: nothing to do at the end.
    void Dismiss() noexcept { FActive = false; }

private:
    TAction FAction;
    bool FActive = true;
};

}  // namespace keyrix
