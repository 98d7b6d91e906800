// Native logging inside tervalin's own build (the module and its test
// programs), reaching Python's `logging`. Extensions built separately use
// the kit's <tervalin/log.hpp> instead, which reaches the same facade through
// the module's state.
//
// Importing tervalin installs a bridge behind these calls: a record for target
// "motor::bus" goes to the Python logger "motor.bus" (`logging.getLogger`),
// which decides with its level and handlers as for any Python record. The
// bridge remembers, per target, the most verbose level the Python logger
// accepted when first asked, and drops records below it natively: a rejected
// record costs no interpreter lock and its message is never formatted.
// Trace records are never forwarded. Before the import every record is dropped.
//
// Callable from any thread, with or without the interpreter lock; the bridge
// takes the lock itself when a record must reach Python. A Python handler that
// raises is reported on standard error and the record is dropped; one that
// raises PanicException makes the call throw tervalin::NativeFault.
//
//     tervalin::log::info("motor::bus", [&] { return "timeout on " + name; });
//     tervalin::log::warnf("motor::bus", tervalin::log::Site::here(), "id %u lost", id);
#pragma once

#include <concepts>
#include <cstdint>
#include <source_location>
#include <string>
#include <string_view>
#include <type_traits>

namespace tervalin::log {

enum class Level : std::uint8_t { error = 1, warn = 2, info = 3, debug = 4, trace = 5 };

// Where a record comes from; both parts are optional.
struct Site {
    const char* file = nullptr;  // null: no file
    std::uint32_t line = 0;      // 0: no line
    [[nodiscard]] static Site here(std::source_location where = std::source_location::current()) noexcept {
        return {where.file_name(), static_cast<std::uint32_t>(where.line())};
    }
};

// The text of a record, produced only after the record was accepted. Refers
// to the caller's callable, so it lives only for the logging call.
class Message {
public:
    template <class F>
        requires std::invocable<const F&> && std::convertible_to<std::invoke_result_t<const F&>, std::string_view>
    explicit Message(const F& make) noexcept
        : context_(&make), write_([](const void* context, std::string& out) {
              out.append(std::string_view((*static_cast<const F*>(context))()));
          }) {}
    Message(const void* context, void (*write)(const void*, std::string&)) noexcept
        : context_(context), write_(write) {}

    void write(std::string& out) const { write_(context_, out); }

private:
    const void* context_;
    void (*write_)(const void*, std::string&);
};

// Hands one record to the installed logger.
void emit(Level level, std::string_view target, Site site, const Message& message);
// Whether a record of this level and target would be looked at further.
bool enabled(Level level, std::string_view target);

template <Level L>
struct Emitter {
    template <class F>
        requires std::invocable<const F&>
    void operator()(std::string_view target, const F& make_message, Site site = {}) const {
        emit(L, target, site, Message(make_message));
    }
};

inline constexpr Emitter<Level::error> error{};
inline constexpr Emitter<Level::warn> warn{};
inline constexpr Emitter<Level::info> info{};
inline constexpr Emitter<Level::debug> debug{};
inline constexpr Emitter<Level::trace> trace{};

// printf-style records; the format is applied only to accepted records.
void errorf(std::string_view target, Site site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void warnf(std::string_view target, Site site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void infof(std::string_view target, Site site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void debugf(std::string_view target, Site site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));
void tracef(std::string_view target, Site site, const char* format, ...)
    __attribute__((format(printf, 3, 4)));

}  // namespace tervalin::log
