// The logger that forwards facade records to Python's `logging`.
#pragma once

#include "binding/ref.hpp"
#include "logbridge/facade.hpp"
#include "logbridge/logger_cache.hpp"

#include <memory>
#include <optional>
#include <string>

namespace tervalin::log {

// The Python names the bridge calls, interned once at installation.
struct PythonNames {
    Ref get_logger;
    Ref is_enabled_for;
    Ref make_record;
    Ref handle;

    [[nodiscard]] static std::optional<PythonNames> create();
};

class BridgeLogger final : public Logger {
public:
    BridgeLogger(Ref logging_module, PythonNames names, std::shared_ptr<LoggerCache> cache);

    bool enabled(Level level, std::string_view target) const override;
    void log(const Record& record) const override;

    // The most verbose level any target takes: what the facade lets through.
    [[nodiscard]] LevelFilter configured() const noexcept { return configured_; }

    [[nodiscard]] const LoggerCache& cache() const noexcept { return *cache_; }

private:
    // Whether the cached filter of `node` (the target's node, or null) rejects `level`.
    [[nodiscard]] static bool cache_rejects(Level level, const NodeRef* node) noexcept;
    void forward(const Record& record, const CacheNode* node) const;
    // getLogger(name): a new reference, or empty with the exception pending.
    [[gnu::noinline]] Ref python_logger(PyObject* name) const;
    // Probes `logger` and stores it for `target`.
    [[gnu::noinline]] void remember(std::string_view target, PyObject* logger, PyObject* name) const;

    LevelFilter configured_ = LevelFilter::debug;
    Ref logging_;
    PythonNames names_;
    std::shared_ptr<LoggerCache> cache_;
};

// Imports `logging` and installs the bridge into the facade. Returns the reset
// handle (a second reference to the cache); faults when `logging` cannot be
// imported or a logger is already installed.
[[nodiscard]] std::shared_ptr<LoggerCache> install_bridge();

}  // namespace tervalin::log
