// tervalin: the table through which separately built extensions reach the
// module's log facade.
//
// Plain C types only: function pointers with C linkage, integers and
// pointers, so that the two sides may link different C++ runtimes. No C++
// exception crosses it; the functions report through their return values.
// Reached through the module's state (<tervalin/module_state.hpp>); its
// layout is covered by `log_table_version`. Callers use <tervalin/log.hpp>.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tervalin::log_abi {

// Raised whenever the table below changes in an incompatible way.
inline constexpr std::uint32_t log_table_version = 1;

// The record levels: 1 error, 2 warn, 3 info, 4 debug, 5 trace (a record
// passes a filter when its level is at most the filter's value; 0 passes
// nothing).
inline constexpr std::uint8_t level_error = 1;
inline constexpr std::uint8_t level_trace = 5;

// What emit reports.
inline constexpr int emit_done = 0;        // forwarded or dropped
inline constexpr int emit_panicked = 1;    // a Python handler raised PanicException (reported on stderr)
inline constexpr int emit_no_message = 2;  // the message could not be made; the record was dropped

extern "C" {

// Appends `size` bytes to the record's text; 0 on success, nonzero when
// the text could not grow (the writer should then stop and fail).
typedef int (*LogAppend)(void* sink, const char* data, std::size_t size);

// Writes the message of an accepted record through `append`; 0 on success,
// nonzero to drop the record.
typedef int (*LogWrite)(const void* context, void* sink, LogAppend append);

struct LogTable {
    // sizeof(LogTable) as the module was built: fields appended later stay
    // out of reach of callers built before them.
    std::uint32_t size;
    // The facade's maximum level filter (0 to 5), changed at run time; read
    // it atomically (relaxed). A record above it is rejected without a call.
    const std::uint8_t* max_level;
    // 1 when a record of this level and target would be looked at further.
    int (*enabled)(std::uint8_t level, const char* target, std::size_t target_size);
    // Hands one record to the facade. `file` may be null and `line` 0.
    // Callable from any thread, with or without the interpreter lock.
    int (*emit)(std::uint8_t level, const char* target, std::size_t target_size, const char* file,
                std::uint32_t line, const void* context, LogWrite write);
};

}  // extern "C"

}  // namespace tervalin::log_abi
