// Native faults: unrecoverable failures of native code. They travel as C++
// exceptions up to the nearest call boundary, which raises them in Python as
// PanicException; they never unwind into the interpreter.
#pragma once

#include <tervalin/native_fault.hpp>

#include <exception>
#include <source_location>
#include <string>
#include <string_view>

namespace tervalin {

// Writes the fault report for `message` to standard error and throws.
[[noreturn]] void fault(std::string message,
                        std::source_location where = std::source_location::current());

// The message of a fault caught as `error`: the text of a NativeFault or of a
// std::exception, and a fixed text for any other payload.
[[nodiscard]] std::string fault_message(const std::exception_ptr& error);

// The report written when a fault starts: thread name, location and message.
void report_fault(std::string_view message, const std::source_location* where) noexcept;

// Ends the process after a fault escaped a boundary's own failure handling.
[[noreturn]] void abort_uncaught_fault() noexcept;

inline constexpr std::string_view foreign_fault_text = "panic from C++ code";

}  // namespace tervalin
