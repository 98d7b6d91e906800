// tervalin: the exception that carries a native fault.
#pragma once

#include <string>
#include <utility>

namespace tervalin {

// An unrecoverable failure of native code, thrown as a C++ exception. Inside
// a call from Python it becomes `PanicException`; native code that calls into
// tervalin directly (for example to log) may see it leave that call when a
// Python callback raised `PanicException`. Deliberately not derived from
// std::exception, so that generic handlers do not swallow it by accident.
class NativeFault {
public:
    explicit NativeFault(std::string message) : message_(std::move(message)) {}
    [[nodiscard]] const std::string& message() const noexcept { return message_; }

private:
    std::string message_;
};

}  // namespace tervalin
