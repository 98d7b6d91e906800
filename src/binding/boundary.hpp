// The call boundary every Python-callable entry runs in, the interpreter-lock
// bookkeeping, and the queue of references released without the lock.
#pragma once

#include "binding/error.hpp"
#include "binding/fault.hpp"
#include "binding/panic_exception.hpp"

#include <Python.h>

#include <atomic>
#include <concepts>
#include <exception>
#include <optional>

namespace tervalin {

// How many times this thread holds the interpreter lock, as far as the module
// knows. -1 is reserved for a garbage-collection traversal, where the
// interpreter must not be used (the module defines no traversal hook).
[[nodiscard]] long lock_depth() noexcept;

namespace detail {
// initial-exec keeps the per-entry cost to one thread-pointer-relative access.
// constinit: no dynamic initialisation, so accesses need no TLS wrapper call.
extern constinit thread_local long lock_depth_value __attribute__((tls_model("initial-exec")));
extern std::atomic<bool> release_queue_created;
void drain_queue() noexcept;

// Raises lock_depth for one boundary; a negative depth is a fault.
class DepthScope {
public:
    DepthScope() {
        if (lock_depth_value < 0) forbidden_depth();
        ++lock_depth_value;
    }
    ~DepthScope() { --lock_depth_value; }
    DepthScope(const DepthScope&) = delete;
    DepthScope& operator=(const DepthScope&) = delete;

private:
    [[noreturn]] static void forbidden_depth();
};
}  // namespace detail

// Releases every queued reference, in the order they were queued.
void drain_deferred_releases() noexcept;

// Number of references waiting in the queue (0 when it was never created).
[[nodiscard]] std::size_t deferred_release_count() noexcept;

// Holds the interpreter lock for native code that may run on any thread.
class LockGuard {
public:
    LockGuard(LockGuard&& other) noexcept
        : ensured_(std::exchange(other.ensured_, std::nullopt)), active_(std::exchange(other.active_, false)) {}
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    LockGuard& operator=(LockGuard&&) = delete;
    ~LockGuard();

private:
    friend LockGuard acquire_lock();
    LockGuard() = default;
    std::optional<PyGILState_STATE> ensured_;
    bool active_ = false;
};

[[nodiscard]] LockGuard acquire_lock();

// Turns a caught native fault into the PanicException error it raises.
[[nodiscard]] PyErr fault_error(const std::exception_ptr& caught);

namespace detail {
// What a body's value becomes in the slot's return type: an owned reference
// is handed over to CPython.
template <class R, class T>
R slot_value(T&& value) {
    if constexpr (std::same_as<std::remove_cvref_t<T>, Ref>) {
        return value.release();
    } else {
        return std::forward<T>(value);
    }
}

template <class T>
struct is_result : std::false_type {};
template <class T>
struct is_result<Result<T>> : std::true_type {};
}  // namespace detail

// Runs `body` (returning Result<R>, or Result<Ref> for an object slot) as one entry from Python: native faults are
// caught and become PanicException, an error becomes the pending exception and
// `failure` is returned. A fault while handling a failure ends the process.
template <class R, class Body>
    requires detail::is_result<std::invoke_result_t<Body&>>::value
R call_boundary(R failure, Body&& body) noexcept {
    try {
        detail::DepthScope depth;
        if (detail::release_queue_created.load(std::memory_order_acquire)) detail::drain_queue();
        std::optional<PyErr> error;
        try {
            auto result = body();
            if (result) return detail::slot_value<R>(*std::move(result));
            error.emplace(std::move(result).error());
        } catch (...) {
            error.emplace(fault_error(std::current_exception()));
        }
        restore_error(std::move(*error));
        return failure;
    } catch (...) {
        abort_uncaught_fault();
    }
}

// For slots without a failure value (tp_dealloc): a failure is reported as
// unraisable, and an exception pending before the call is kept.
template <class Body>
    requires std::same_as<std::invoke_result_t<Body&>, Result<void>>
void call_boundary_unraisable(Body&& body) noexcept {
    try {
        detail::DepthScope depth;
        if (detail::release_queue_created.load(std::memory_order_acquire)) detail::drain_queue();
        std::optional<PyErr> error;
        try {
            Result<void> result = body();
            if (result) return;
            error.emplace(std::move(result).error());
        } catch (...) {
            error.emplace(fault_error(std::current_exception()));
        }
        PyObject* earlier = PyErr_GetRaisedException();
        restore_error(std::move(*error));
        PyErr_WriteUnraisable(nullptr);
        PyErr_SetRaisedException(earlier);
    } catch (...) {
        abort_uncaught_fault();
    }
}

}  // namespace tervalin
