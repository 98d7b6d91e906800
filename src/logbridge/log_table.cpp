#include "logbridge/log_table.hpp"

#include "logbridge/facade.hpp"

#include <tervalin/native_fault.hpp>

#include <cxxabi.h>

#include <string>

namespace tervalin::log {
namespace {

static_assert(log_abi::level_error == static_cast<std::uint8_t>(Level::error) &&
              log_abi::level_trace == static_cast<std::uint8_t>(Level::trace));
static_assert(sizeof(LevelFilter) == sizeof(std::uint8_t));

// The caller's message could not be made: the record is dropped.
struct NoMessage {};

struct CallerMessage {
    const void* context;
    log_abi::LogWrite write;
};

extern "C" int append_text(void* sink, const char* data, std::size_t size) {
    try {
        static_cast<std::string*>(sink)->append(data, size);
        return 0;
    } catch (const std::bad_alloc&) {
        return 1;
    }
}

void write_caller_message(const void* context, std::string& out) {
    const auto& caller = *static_cast<const CallerMessage*>(context);
    if (caller.write(caller.context, &out, append_text) != 0) throw NoMessage{};
}

[[nodiscard]] bool valid_level(std::uint8_t level) noexcept {
    return level >= log_abi::level_error && level <= log_abi::level_trace;
}

extern "C" int table_enabled(std::uint8_t level, const char* target, std::size_t target_size) {
    if (!valid_level(level)) return 0;
    try {
        return enabled(static_cast<Level>(level), {target, target_size}) ? 1 : 0;
    } catch (abi::__forced_unwind&) {
        throw;  // the thread is being ended: its unwind must go on
    } catch (...) {
        return 0;
    }
}

// Not noexcept and every catch lets a forced unwind through: a thread that
// the interpreter ends while this record waits for the lock unwinds through
// here into the caller's frames.
extern "C" int table_emit(std::uint8_t level, const char* target, std::size_t target_size, const char* file,
                          std::uint32_t line, const void* context, log_abi::LogWrite write) {
    if (!valid_level(level)) return log_abi::emit_done;
    const CallerMessage caller{context, write};
    try {
        emit(static_cast<Level>(level), {target, target_size}, Site{file, line},
             Message(&caller, write_caller_message));
        return log_abi::emit_done;
    } catch (abi::__forced_unwind&) {
        throw;
    } catch (const NativeFault&) {
        return log_abi::emit_panicked;
    } catch (const NoMessage&) {
        return log_abi::emit_no_message;
    } catch (const std::bad_alloc&) {
        return log_abi::emit_no_message;
    } catch (...) {
        return log_abi::emit_panicked;
    }
}

}  // namespace

const log_abi::LogTable& log_table() noexcept {
    static const log_abi::LogTable table{
        .size = sizeof(log_abi::LogTable),
        .max_level = max_level_address(),
        .enabled = table_enabled,
        .emit = table_emit,
    };
    return table;
}

}  // namespace tervalin::log
