#pragma once
// The guard every FUSE request runs in: nothing may unwind into the C
// library. Running out of memory answers EIO; anything else is a bug, written
// to standard error before the process aborts.
#include <cerrno>
#include <exception>
#include <new>
#include <string_view>
#include <type_traits>

namespace halvo::fs::mount::impl {

[[noreturn]] void fatal(std::string_view what) noexcept;

template <class F>
auto guarded(F&& f) noexcept -> std::invoke_result_t<F&> {
    using R = std::invoke_result_t<F&>;
    try {
        return f();
    } catch (const std::bad_alloc&) {
        if constexpr (std::is_void_v<R>)
            return;
        else
            return static_cast<R>(-EIO);
    } catch (const std::exception& e) {
        fatal(e.what());
    } catch (...) {
        fatal("an unknown exception");
    }
}

}  // namespace halvo::fs::mount::impl
