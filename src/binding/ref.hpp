// Owned Python references.
#pragma once

#include <Python.h>

#include <utility>

namespace tervalin {

namespace detail {
// How many times this thread holds the interpreter lock, as far as the module
// knows (see lock_depth() in boundary.hpp). constinit means no TLS wrapper
// call. The default TLS model, so that the module loads with dlopen however
// much static TLS other libraries have used up; in the module an access is a
// call of __tls_get_addr (general-dynamic, see CMakeLists.txt).
extern constinit thread_local long lock_depth_value __attribute__((visibility("hidden")));
// Queues `object` for release at the next boundary entry.
void release_without_lock(PyObject* object) noexcept;
}  // namespace detail

// Releases one strong reference now when this thread holds the interpreter
// lock, otherwise queues it for the next boundary entry (see boundary.hpp).
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
