#include "binding/boundary.hpp"

#include <sys/resource.h>

#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <mutex>
#include <vector>

namespace tervalin {

namespace detail {

constinit thread_local long lock_depth_value = 0;
std::atomic<bool> releases_pending{false};

namespace {

// The queue is created on first use and never destroyed, so that threads
// still running at process exit can use it.
struct ReleaseQueue {
    std::mutex mutex;
    std::vector<PyObject*> pending;
};

ReleaseQueue& release_queue() {
    static ReleaseQueue* const queue = new ReleaseQueue;
    return *queue;
}

}  // namespace

void drain_queue() {
    ReleaseQueue& queue = release_queue();
    std::vector<PyObject*> taken;
    {
        std::lock_guard guard(queue.mutex);
        releases_pending.store(false, std::memory_order_relaxed);
        if (queue.pending.empty()) return;
        taken.swap(queue.pending);
    }
    // Decrements run finalisers, which may queue more releases: the mutex is
    // not held here, and those wait for the next drain. Should the
    // interpreter end this thread inside one, the rest stay unreleased.
    for (PyObject* object : taken) interpreter_call([object] { Py_DECREF(object); });
}

void DepthScope::forbidden_depth() {
    // The constructor raised the depth before it saw that it was negative,
    // and a constructor that throws runs no destructor: lower it again here.
    if (--lock_depth_value == -1)
        fault("Access to the GIL is prohibited while a __traverse__ implmentation is running.");
    fault("Access to the GIL is currently prohibited.");
}

namespace {

// Room left below the check for what runs before the next one: CPython's
// frames of one level of a cycle, or raising and printing the RecursionError.
constexpr std::uintptr_t stack_margin = 256 * 1024;

// The lowest address this thread's stack may use plus the margin; 0 before
// it was looked up, 1 where the thread's stack cannot be found.
constinit thread_local std::uintptr_t stack_floor = 0;

// From /proc/self/maps (pthread_getattr_np would tie the wheel to a newer
// glibc): the mapping that holds `here` is a thread's own stack, which ends
// where it starts, or the main thread's "[stack]", which grows down as far as
// its resource limit.
std::uintptr_t find_stack_floor(std::uintptr_t here) noexcept {
    std::FILE* maps = std::fopen("/proc/self/maps", "r");
    if (maps == nullptr) return 1;
    std::array<char, 512> line{};
    bool line_start = true;
    bool found = false;
    bool main_stack = false;
    unsigned long low = 0;
    unsigned long high = 0;
    while (!found && std::fgets(line.data(), static_cast<int>(line.size()), maps) != nullptr) {
        const bool starts_line = line_start;
        line_start = std::strchr(line.data(), '\n') != nullptr;
        if (!starts_line || std::sscanf(line.data(), "%lx-%lx", &low, &high) != 2) continue;
        found = here >= low && here < high;
        main_stack = found && std::strstr(line.data(), "[stack]") != nullptr;
    }
    std::fclose(maps);
    if (!found) return 1;
    if (main_stack) {
        rlimit limit{};
        if (getrlimit(RLIMIT_STACK, &limit) != 0 || limit.rlim_cur == RLIM_INFINITY || limit.rlim_cur > high)
            return 1;
        low = high - limit.rlim_cur;
    }
    if (high - low <= 2 * stack_margin) return 1;
    return low + stack_margin;
}

}  // namespace

bool stack_nearly_exhausted() noexcept {
    if (stack_floor == 0) [[unlikely]]
        stack_floor = find_stack_floor(reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)));
    return reinterpret_cast<std::uintptr_t>(__builtin_frame_address(0)) < stack_floor;
}

// A text of its own, not the level counter's: the module's frames are kept
// small enough for the counter's limit to come first, and a test tells the
// two apart.
PyErr stack_exhausted_error() {
    return PyErr::with_text(PyExc_RecursionError, "Stack overflow while calling a Python object");
}

}  // namespace detail

long lock_depth() noexcept { return detail::lock_depth_value; }

void detail::release_without_lock(PyObject* object) noexcept {
    // The interpreter is ending this thread: the reference is left to the
    // runtime that is going away, not queued into one that might follow it.
    if (thread_ended()) return;
    try {
        ReleaseQueue& queue = release_queue();
        std::lock_guard guard(queue.mutex);
        queue.pending.push_back(object);
        // Seen by the next boundary entry on any thread; the mutex orders the
        // push before the drain that takes it.
        releases_pending.store(true, std::memory_order_release);
    } catch (...) {
        // Without memory for the queue the reference is leaked rather than
        // released without the interpreter lock.
    }
}

void drain_deferred_releases() {
    if (detail::releases_pending.load(std::memory_order_acquire)) detail::drain_queue();
}

std::size_t deferred_release_count() noexcept {
    auto& queue = detail::release_queue();
    std::lock_guard guard(queue.mutex);
    return queue.pending.size();
}

namespace {

// Read on every acquisition, never remembered: the interpreter can finalise
// (and be initialised again) while native threads keep running.
//
// Py_IsFinalizing() turns true at the point of no return of Py_FinalizeEx,
// in the same step that turns Py_IsInitialized() false, and a successful
// check costs these two loads. One window remains that CPython does not let
// a caller close: finalisation can begin between this check and
// PyGILState_Ensure below. The finalising thread sets its flag while it holds
// the lock, and a thread that does not hold the lock can only look at the
// flag before it asks for the lock. When it then asks, CPython 3.13 before
// 3.13.8 ends the thread inside PyGILState_Ensure (PyThread_exit_thread, a
// forced unwind through the caller's frames, which every boundary lets pass),
// later releases let it wait for good, and once the runtime has been torn
// down the call is not valid at all. Applications that log from their own threads close the
// window themselves by stopping those threads before finalising, for example
// from an atexit handler, which runs while the interpreter still works.
[[nodiscard]] bool interpreter_running() noexcept { return Py_IsInitialized() != 0 && Py_IsFinalizing() == 0; }

}  // namespace

LockGuard acquire_lock_unless_finalizing() {
    LockGuard guard;
    if (detail::lock_depth_value > 0) {
        ++detail::lock_depth_value;
        guard.active_ = true;
        return guard;
    }
    if (!interpreter_running()) [[unlikely]]
        return guard;
    guard.ensured_ = interpreter_call([] { return PyGILState_Ensure(); });
    ++detail::lock_depth_value;
    guard.active_ = true;
    drain_deferred_releases();
    return guard;
}

LockGuard acquire_lock() {
    LockGuard guard = acquire_lock_unless_finalizing();
    if (guard) [[likely]]
        return guard;
    if (Py_IsInitialized() == 0 && Py_IsFinalizing() == 0) {
        fault("The Python interpreter is not initialized and the `auto-initialize` feature is "
              "not enabled.");
    }
    fault("The Python interpreter is finalizing or finalized: the interpreter lock cannot be taken.");
}

LockGuard::~LockGuard() noexcept(false) {
    if (!active_) return;
    --detail::lock_depth_value;
    // A thread that the interpreter is ending has no lock to give back.
    if (ensured_ && !detail::thread_ended()) PyGILState_Release(*ensured_);
}

namespace detail {
void raise_failure(PyErr& error) { std::move(error).restore(); }
PyErr caught_fault_error() { return panic_error(fault_message(std::current_exception())); }
void report_unraisable(PyErr& error) {
    PyObject* earlier = PyErr_GetRaisedException();
    restore_error(std::move(error));
    interpreter_call([] { PyErr_WriteUnraisable(nullptr); });
    PyErr_SetRaisedException(earlier);
}
}  // namespace detail

}  // namespace tervalin
