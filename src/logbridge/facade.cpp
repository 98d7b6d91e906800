#include "logbridge/facade.hpp"

#include <atomic>
#include <cstdarg>
#include <cstdio>

namespace tervalin::log {
namespace {

class NopLogger final : public Logger {
public:
    bool enabled(Level, std::string_view) const override { return false; }
    void log(const Record&) const override {}
};

enum InstallState : int { uninstalled = 0, installing = 1, installed = 2 };

const NopLogger nop_logger;
std::atomic<int> install_state{uninstalled};
const Logger* logger_slot = &nop_logger;  // written once, before the state becomes installed
// A plain byte under atomic access: separately built callers read it through
// the log table (log_table.hpp) with their own atomic loads.
alignas(std::atomic_ref<std::uint8_t>::required_alignment) std::uint8_t max_level_filter = 0;

void pause() noexcept {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

}  // namespace

std::expected<void, SetLoggerError> set_logger(std::unique_ptr<Logger> logger) {
    int expected = uninstalled;
    if (install_state.compare_exchange_strong(expected, installing, std::memory_order_acquire)) {
        logger_slot = logger.release();
        install_state.store(installed, std::memory_order_release);
        return {};
    }
    // Another thread is installing: wait until it is done, then fail all the same.
    while (expected == installing) {
        pause();
        expected = install_state.load(std::memory_order_acquire);
    }
    return std::unexpected(SetLoggerError{});
}

const Logger& logger() noexcept {
    if (install_state.load(std::memory_order_acquire) != installed) return nop_logger;
    return *logger_slot;
}

void set_max_level(LevelFilter filter) noexcept {
    std::atomic_ref(max_level_filter).store(static_cast<std::uint8_t>(filter), std::memory_order_relaxed);
}

LevelFilter max_level() noexcept {
    return static_cast<LevelFilter>(std::atomic_ref(max_level_filter).load(std::memory_order_relaxed));
}

const std::uint8_t* max_level_address() noexcept { return &max_level_filter; }

// The emitting side.

void emit(Level level, std::string_view target, Site site, const Message& message) {
    if (!passes(level, max_level())) return;
    const Record record{
        .level = level,
        .target = target,
        .message = message,
        .file = site.file != nullptr ? std::optional<std::string_view>(site.file) : std::nullopt,
        .line = site.line != 0 ? std::optional<std::uint32_t>(site.line) : std::nullopt,
    };
    logger().log(record);
}

bool enabled(Level level, std::string_view target) {
    return passes(level, max_level()) && logger().enabled(level, target);
}

namespace {

struct FormatArguments {
    const char* format;
    std::va_list* arguments;
};

void write_formatted(const void* context, std::string& out) {
    const auto& formatted = *static_cast<const FormatArguments*>(context);
    std::va_list measuring;
    va_copy(measuring, *formatted.arguments);
    const int size = std::vsnprintf(nullptr, 0, formatted.format, measuring);
    va_end(measuring);
    if (size <= 0) return;
    const std::size_t start = out.size();
    out.resize(start + static_cast<std::size_t>(size) + 1);
    std::va_list writing;
    va_copy(writing, *formatted.arguments);
    std::vsnprintf(out.data() + start, static_cast<std::size_t>(size) + 1, formatted.format, writing);
    va_end(writing);
    out.resize(start + static_cast<std::size_t>(size));
}

void emit_formatted(Level level, std::string_view target, Site site, const char* format, std::va_list* arguments) {
    const FormatArguments formatted{format, arguments};
    emit(level, target, site, Message(&formatted, write_formatted));
}

}  // namespace

#define TERVALIN_FORMATTED_EMITTER(name, level)                                          \
    void name(std::string_view target, Site site, const char* format, ...) {             \
        std::va_list arguments;                                                          \
        va_start(arguments, format);                                                     \
        try {                                                                            \
            emit_formatted(level, target, site, format, &arguments);                     \
        } catch (...) {                                                                  \
            va_end(arguments);                                                           \
            throw;                                                                       \
        }                                                                                \
        va_end(arguments);                                                               \
    }

TERVALIN_FORMATTED_EMITTER(errorf, Level::error)
TERVALIN_FORMATTED_EMITTER(warnf, Level::warn)
TERVALIN_FORMATTED_EMITTER(infof, Level::info)
TERVALIN_FORMATTED_EMITTER(debugf, Level::debug)
TERVALIN_FORMATTED_EMITTER(tracef, Level::trace)

#undef TERVALIN_FORMATTED_EMITTER

}  // namespace tervalin::log
