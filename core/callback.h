#pragma once

#include <functional>
#include <memory>
#include <utility>

// A stored callback that a call may replace or drop while it runs: each call
// holds the function it started with. Copying the holder costs no allocation,
// so the hot path pays nothing for the guard. Standard library only.
namespace KCore {

template <typename Signature>
class Callback;

template <typename R, typename... Args>
class Callback<R(Args...)> {
public:
    void set(std::function<R(Args...)> function)
    {
        held = function ? std::make_shared<const std::function<R(Args...)>>(std::move(function)) : nullptr;
    }
    explicit operator bool() const { return held != nullptr; }
    // An empty callback is skipped and gives R's default.
    R operator()(Args... args) const
    {
        auto running = held;
        if (!running)
            return R();
        return (*running)(std::forward<Args>(args)...);
    }

private:
    std::shared_ptr<const std::function<R(Args...)>> held;
};

} // namespace KCore
