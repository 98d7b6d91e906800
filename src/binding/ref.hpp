// Owned Python references.
#pragma once

#include <Python.h>

#include <climits>
#include <utility>

namespace tervalin {

namespace detail {
// How many times this thread holds the interpreter lock, as far as the module
// knows (see lock_depth() in boundary.hpp). constinit means no TLS wrapper
// call. The default TLS model, so that the module loads with dlopen however
// much static TLS other libraries have used up; in the module an access is a
// call of __tls_get_addr (general-dynamic, see CMakeLists.txt).
extern constinit thread_local long lock_depth_value __attribute__((visibility("hidden")));
// Queues `object` for release at the next boundary entry; drops it on a
// thread that the interpreter is ending.
void release_without_lock(PyObject* object) noexcept;

// CPython 3.13 before 3.13.8 ends a thread that asks for the interpreter lock
// once finalisation has begun (PyThread_exit_thread): a forced unwind runs
// through every frame on its stack, and the destructors it runs must not use
// the interpreter, whose lock the thread no longer holds. interpreter_call
// sees the unwind start and sets lock_depth to ended_depth, far below any
// depth that counting up and down from there can reach again, so that every
// release after it takes the path without the lock, which drops it.
inline constexpr long ended_depth = LONG_MIN / 2;
[[nodiscard]] inline bool thread_ended() noexcept { return lock_depth_value < ended_depth / 2; }
}  // namespace detail

// Runs `call`, a CPython call that may give the interpreter lock away and ask
// for it again (one that can run Python code, or PyGILState_Ensure). Should
// the interpreter end the thread there, the thread is marked as ended before
// any destructor of the caller's frames runs, and the unwind goes on. Wraps
// every such call that native code makes. C code throws nothing, and a native
// fault of a nested entry stops at that entry's boundary, so whatever leaves
// a CPython call is the unwind that ends the thread (abi::__forced_unwind,
// which is not caught by name: its exception object is no C++ object).
template <class Call>
[[gnu::always_inline]] inline decltype(auto) interpreter_call(Call&& call) {
    try {
        return std::forward<Call>(call)();
    } catch (...) {
        detail::lock_depth_value = detail::ended_depth;
        throw;
    }
}

// Releases one strong reference now when lock_depth says this thread holds
// the interpreter lock (1 or more), otherwise queues it for the next boundary
// entry (see boundary.hpp).
inline void release_ref(PyObject* object) noexcept {
    if (object == nullptr) return;
    if (detail::lock_depth_value >= 1) [[likely]] {
        Py_DECREF(object);
        return;
    }
    detail::release_without_lock(object);
}

// One strong reference, released when the holder goes away. Every owned
// reference in the module lives in one of these, so no failure path can skip
// a release.
class Ref {
public:
    Ref() noexcept = default;
    Ref(Ref&& other) noexcept : ptr_(std::exchange(other.ptr_, nullptr)) {}
    Ref& operator=(Ref&& other) noexcept {
        if (this != &other) {
            reset();
            ptr_ = std::exchange(other.ptr_, nullptr);
        }
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { reset(); }

    // Takes over a new reference (which may be null).
    [[nodiscard]] static Ref steal(PyObject* object) noexcept { return Ref(object); }
    // A new strong reference to a borrowed object (which may be null), as Py_XNewRef.
    [[nodiscard]] static Ref new_ref(PyObject* object) noexcept {
        Py_XINCREF(object);
        return Ref(object);
    }

    [[nodiscard]] PyObject* get() const noexcept { return ptr_; }
    // Hands the reference to the caller, leaving this holder empty.
    [[nodiscard]] PyObject* release() noexcept { return std::exchange(ptr_, nullptr); }
    explicit operator bool() const noexcept { return ptr_ != nullptr; }

    void reset() noexcept {
        if (PyObject* old = std::exchange(ptr_, nullptr)) release_ref(old);
    }

private:
    explicit Ref(PyObject* object) noexcept : ptr_(object) {}
    PyObject* ptr_ = nullptr;
};

}  // namespace tervalin
