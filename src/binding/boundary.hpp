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
// Set when a reference is queued, cleared when the queue is drained: an entry
// takes the queue's mutex only when there is something to release. Read
// relaxed: the mutex orders the queue itself, and a flag seen late only moves
// a release to a later entry.
extern std::atomic<bool> releases_pending __attribute__((visibility("hidden")));
// Not noexcept: a release can run a finaliser, and a finaliser can give the
// lock away, after which the interpreter may end the thread (ref.hpp).
void drain_queue();

// Raises lock_depth for one boundary; a negative depth is a fault. The
// counter's address is looked up once: in a module loaded with dlopen each
// lookup is a call of __tls_get_addr.
class DepthScope {
public:
    DepthScope() : DepthScope(lock_depth_value) {}
    explicit DepthScope(long& depth) : depth_(depth) {
        if (++depth_ <= 0) [[unlikely]]
            forbidden_depth();
    }
    ~DepthScope() { --depth_; }
    DepthScope(const DepthScope&) = delete;
    DepthScope& operator=(const DepthScope&) = delete;

    // The counter, its address opaque to the optimiser, which then keeps it
    // for the scope instead of working it out again through __tls_get_addr.
    // Pays off in short slots with a call in between, the deallocator.
    [[gnu::always_inline]] static long& pinned() noexcept {
        long* address = &lock_depth_value;
        asm("" : "+r"(address));
        return *address;
    }

private:
    [[noreturn]] static void forbidden_depth();
    long& depth_;
};
}  // namespace detail

// Releases every queued reference, in the order they were queued.
void drain_deferred_releases();

// Number of references waiting in the queue (0 when it was never created).
[[nodiscard]] std::size_t deferred_release_count() noexcept;

// Holds the interpreter lock for native code that may run on any thread.
class LockGuard {
public:
    // False for the guard of a record dropped because the interpreter is
    // shutting down (acquire_lock_unless_finalizing).
    explicit operator bool() const noexcept { return active_; }
    LockGuard(LockGuard&& other) noexcept
        : ensured_(std::exchange(other.ensured_, std::nullopt)), active_(std::exchange(other.active_, false)) {}
    LockGuard(const LockGuard&) = delete;
    LockGuard& operator=(const LockGuard&) = delete;
    LockGuard& operator=(LockGuard&&) = delete;
    // Not noexcept: giving the lock back may run Python code (clearing the
    // thread state) during which the interpreter ends the thread.
    ~LockGuard() noexcept(false);

private:
    friend LockGuard acquire_lock_unless_finalizing();
    LockGuard() = default;
    std::optional<PyGILState_STATE> ensured_;
    bool active_ = false;
};

// The interpreter lock for the calling thread: taken with PyGILState_Ensure
// unless this thread already holds it. Faults when the interpreter is not
// initialised, or is finalising or finalised.
[[nodiscard]] LockGuard acquire_lock();

// The same, for a caller whose work may simply be dropped: while the
// interpreter is finalising or finalised it takes nothing and returns a false
// guard, without faulting and without calling into the interpreter. Throws
// nothing but the forced unwind of a thread that the interpreter ends while
// it waits for the lock.
[[nodiscard]] LockGuard acquire_lock_unless_finalizing();

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

namespace detail {
// The failure paths stay out of line so that an entry's success path is only
// the depth count, the queue check and the body.
[[gnu::cold, gnu::noinline]] void raise_failure(PyErr& error);
// The PanicException error of the native fault being handled.
[[gnu::cold, gnu::noinline]] PyErr caught_fault_error();
// Reports `error` with PyErr_WriteUnraisable, keeping an exception that was
// pending before.
[[gnu::cold, gnu::noinline]] void report_unraisable(PyErr& error);

// The result of a body that a native fault escaped: its PanicException.
template <class R>
[[gnu::cold, gnu::noinline]] R caught_fault_result() {
    return fail(caught_fault_error());
}

// The body's result; a native fault escaping it becomes its PanicException.
// A body declared noexcept has no fault to catch. The forced unwind of a
// thread that the interpreter ends (interpreter_call) is no fault: it goes
// on through every boundary, and the thread ends quietly.
template <class Body>
[[gnu::always_inline]] inline auto run_body(Body& body) -> std::invoke_result_t<Body&> {
    if constexpr (std::is_nothrow_invocable_v<Body&>) {
        return body();
    } else {
        try {
            return body();
        } catch (...) {
            if (thread_ended()) throw;
            return caught_fault_result<std::invoke_result_t<Body&>>();
        }
    }
}
}  // namespace detail

namespace detail {
// Whether the calling thread's stack is within a safety margin of its end.
// CPython 3.14 checks the stack itself in Py_EnterRecursiveCall; 3.13 only
// counts levels, against a limit that assumes frames smaller than those of
// a cycle through the module's entries and conversions.
[[nodiscard]] bool stack_nearly_exhausted() noexcept;
[[gnu::cold, gnu::noinline]] PyErr stack_exhausted_error();
}  // namespace detail

// Runs `call`, whose result is a Result and which may run Python code, as one
// level of C recursion, counted the way CPython counts its own calls, with
// the stack's own end checked as well: a cycle of calls through the module
// (say a __float__ that calls the class again) ends in RecursionError instead
// of overflowing the stack. A native fault leaving `call` gives the level
// back; a forced unwind does not touch the interpreter.
template <class Call>
[[gnu::always_inline]] inline auto counted_call(Call&& call) -> std::invoke_result_t<Call&> {
    if (detail::stack_nearly_exhausted()) [[unlikely]]
        return fail(detail::stack_exhausted_error());
    if (Py_EnterRecursiveCall(" while calling a Python object") != 0) [[unlikely]]
        return fail(fetch_error());
    // Given back once the result is made in place (a result moved out of
    // here would cost more than the count), or when a native fault leaves.
    struct Level {
        Level() = default;
        Level(const Level&) = delete;
        Level& operator=(const Level&) = delete;
        ~Level() {
            if (!detail::thread_ended()) [[likely]]
                Py_LeaveRecursiveCall();
        }
    } level;
    return call();
}

// Runs `body` (returning Result<R>, or Result<Ref> for an object slot) as one
// entry from Python: native faults are caught and become PanicException, an
// error becomes the pending exception and `failure` is returned. A fault while
// handling a failure ends the process. A forced unwind passes through (see
// run_body). Always inlined: each slot has one.
template <class R, class Body>
    requires detail::is_result<std::invoke_result_t<Body&>>::value
[[gnu::always_inline]] inline R call_boundary(R failure, Body&& body) {
    try {
        detail::DepthScope depth;
        if (detail::releases_pending.load(std::memory_order_relaxed)) [[unlikely]]
            detail::drain_queue();
        auto result = detail::run_body(body);
        if (result) [[likely]]
            return detail::slot_value<R>(*std::move(result));
        detail::raise_failure(result.error());
        return failure;
    } catch (...) {
        if (detail::thread_ended()) throw;
        abort_uncaught_fault();
    }
}

// For slots without a failure value (tp_dealloc): a failure is reported as
// unraisable, and an exception pending before the call is kept.
template <class Body>
    requires std::same_as<std::invoke_result_t<Body&>, Result<void>>
[[gnu::always_inline]] inline void call_boundary_unraisable(Body&& body) {
    try {
        detail::DepthScope depth(detail::DepthScope::pinned());
        if (detail::releases_pending.load(std::memory_order_relaxed)) [[unlikely]]
            detail::drain_queue();
        Result<void> result = detail::run_body(body);
        if (result) [[likely]]
            return;
        detail::report_unraisable(result.error());
    } catch (...) {
        if (detail::thread_ended()) throw;
        abort_uncaught_fault();
    }
}

}  // namespace tervalin
