// The process-wide log facade: levels and filters, the logger slot with its
// one-time installation, and the maximum level.
#pragma once

#include "logbridge/native_log.hpp"

#include <cstdint>
#include <expected>
#include <memory>
#include <optional>
#include <string_view>

namespace tervalin::log {

// A record passes a filter when its level value is at most the filter's.
enum class LevelFilter : std::uint8_t { off = 0, error = 1, warn = 2, info = 3, debug = 4, trace = 5 };

[[nodiscard]] constexpr bool passes(Level level, LevelFilter filter) noexcept {
    return static_cast<std::uint8_t>(level) <= static_cast<std::uint8_t>(filter);
}

struct Record {
    Level level;
    std::string_view target;
    const Message& message;
    std::optional<std::string_view> file;
    std::optional<std::uint32_t> line;
};

class Logger {
public:
    virtual ~Logger() = default;
    [[nodiscard]] virtual bool enabled(Level level, std::string_view target) const = 0;
    virtual void log(const Record& record) const = 0;
};

struct SetLoggerError {};

// Installs `logger` for the rest of the process. Only the first call
// succeeds; later ones hand nothing over and fail.
[[nodiscard]] std::expected<void, SetLoggerError> set_logger(std::unique_ptr<Logger> logger);

// The installed logger, or one that drops everything before installation.
[[nodiscard]] const Logger& logger() noexcept;

void set_max_level(LevelFilter filter) noexcept;
[[nodiscard]] LevelFilter max_level() noexcept;
// The byte behind max_level(), for readers that load it atomically themselves.
[[nodiscard]] const std::uint8_t* max_level_address() noexcept;

}  // namespace tervalin::log
