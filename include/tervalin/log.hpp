// tervalin: native logging into Python's `logging` from an extension module
// built separately from tervalin.
//
// Header-only, C++17 on, no link-time dependency: the records go to the log
// facade of the loaded tervalin module, found through the module object's
// state (<tervalin/module_state.hpp>) and reached through a table of C
// functions (<tervalin/log_table.hpp>), so the two sides may link different
// C++ runtimes. A record for target "motor::bus" goes to the Python logger
// "motor.bus" (`logging.getLogger`), which decides with its level and
// handlers as for any Python record; trace records are never forwarded.
//
// Callable from any thread, with or without the interpreter lock; tervalin
// takes the lock itself when a record must reach Python. A record above the
// facade's maximum level costs one atomic load here; one that tervalin's
// logger cache rejects costs one call and one lock-free lookup there; in
// neither case is the interpreter lock taken or the message made. Call
// `tervalin::log::bind()` from the extension's init function: until the
// facade is found, records from threads that do not hold the interpreter
// lock are dropped (finding it needs the lock, which such a thread is not
// made to wait for).
//
//     tervalin::log::info("motor::bus", [&] { return "timeout on " + name; });
//     tervalin::log::warnf("motor::bus", TERVALIN_LOG_SITE, "id %u lost", id);
#pragma once

#include <tervalin/log_table.hpp>
#include <tervalin/module_state.hpp>

#include <Python.h>

#include <atomic>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <string_view>

#if defined(__GLIBCXX__)
#include <cxxabi.h>
#endif

namespace tervalin::log {

enum class Level : std::uint8_t { error = 1, warn = 2, info = 3, debug = 4, trace = 5 };

// Where a record comes from; both parts are optional.
struct Site {
    const char* file = nullptr;  // null: no file
    std::uint32_t line = 0;      // 0: no line
};

#define TERVALIN_LOG_SITE (::tervalin::log::Site{__FILE__, static_cast<std::uint32_t>(__LINE__)})

// What became of a record that reached tervalin.
enum class Outcome {
    done,        // forwarded, or dropped by a filter
    panicked,    // a Python handler raised PanicException; tervalin reported it on standard error
    no_message,  // the message could not be made (out of memory); the record was dropped
};

namespace detail {

// The facade's table once found; never unset (the module lives as long as the process).
TERVALIN_KIT_LOCAL inline std::atomic<const log_abi::LogTable*> bound_table{nullptr};

constexpr std::size_t state_head_size = offsetof(ModuleState, classes);

}  // namespace detail

// Imports tervalin and finds its log facade; needs the interpreter lock.
// Returns false with an ImportError set when the imported 'tervalin' is not
// the extension module or has another log table version.
inline bool bind() noexcept {
    if (detail::bound_table.load(std::memory_order_acquire) != nullptr) return true;
    PyObject* module = PyImport_ImportModule(TERVALIN_MODULE_NAME);
    if (module == nullptr) return false;
    Py_ssize_t size = 0;
    const ModuleState* state = tervalin::detail::state_of(module, size);
    if (state == nullptr) {
        Py_DECREF(module);
        PyErr_Format(PyExc_ImportError,
                     "the imported 'tervalin' is not the tervalin extension module (it publishes no log table); "
                     "this extension was built for tervalin log table version %u",
                     static_cast<unsigned>(log_abi::log_table_version));
        return false;
    }
    const std::uint32_t version =
        size >= static_cast<Py_ssize_t>(detail::state_head_size) ? state->log_table_version : 0;
    const log_abi::LogTable* table = version == log_abi::log_table_version ? state->log_table : nullptr;
    Py_DECREF(module);
    if (table == nullptr || table->size < sizeof(log_abi::LogTable)) {
        PyErr_Format(PyExc_ImportError,
                     "tervalin has log table version %u, this extension was built for log table version %u: "
                     "rebuild it against the installed tervalin",
                     static_cast<unsigned>(version), static_cast<unsigned>(log_abi::log_table_version));
        return false;
    }
    detail::bound_table.store(table, std::memory_order_release);
    return true;
}

namespace detail {

// First use without bind(): only a thread that holds the interpreter lock
// looks; a failure leaves no exception behind and is retried next time.
[[gnu::cold, gnu::noinline]] inline const log_abi::LogTable* bind_on_first_use() noexcept {
    if (!Py_IsInitialized() || PyGILState_Check() == 0) return nullptr;
    PyObject* pending = PyErr_GetRaisedException();
    if (!bind()) PyErr_Clear();
    PyErr_SetRaisedException(pending);
    return bound_table.load(std::memory_order_acquire);
}

inline const log_abi::LogTable* table() noexcept {
    const log_abi::LogTable* table = bound_table.load(std::memory_order_acquire);
    if (__builtin_expect(table != nullptr, 1)) return table;
    return bind_on_first_use();
}

// Whether the facade's maximum level lets `level` through.
inline bool below_max_level(const log_abi::LogTable& table, Level level) noexcept {
    return static_cast<std::uint8_t>(level) <= __atomic_load_n(table.max_level, __ATOMIC_RELAXED);
}

inline Outcome outcome_of(int status) noexcept {
    if (status == log_abi::emit_panicked) return Outcome::panicked;
    if (status == log_abi::emit_no_message) return Outcome::no_message;
    return Outcome::done;
}

// Makes the message of an accepted record on tervalin's call. An exception
// of the caller's callable stays on this side: it is kept and rethrown once
// tervalin has returned. A forced unwind (the thread is being ended) goes on.
template <class F>
struct CallableWriter {
    const F& make;
    mutable std::exception_ptr failure;

    static int write(const void* context, void* sink, log_abi::LogAppend append) {
        const auto& self = *static_cast<const CallableWriter*>(context);
        try {
            const auto& made = self.make();
            const std::string_view text(made);
            return append(sink, text.data(), text.size());
        }
#if defined(__GLIBCXX__)
        catch (abi::__forced_unwind&) {
            throw;
        }
#endif
        catch (...) {
            self.failure = std::current_exception();
            return 1;
        }
    }
};

struct FormatWriter {
    const char* format;
    std::va_list* arguments;

    static int write(const void* context, void* sink, log_abi::LogAppend append) noexcept {
        const auto& self = *static_cast<const FormatWriter*>(context);
        std::va_list measuring;
        va_copy(measuring, *self.arguments);
        const int size = std::vsnprintf(nullptr, 0, self.format, measuring);
        va_end(measuring);
        if (size < 0) return 1;
        char small[256];
        std::unique_ptr<char[]> large;
        char* text = small;
        if (static_cast<std::size_t>(size) >= sizeof(small)) {
            large.reset(new (std::nothrow) char[static_cast<std::size_t>(size) + 1]);
            if (large == nullptr) return 1;
            text = large.get();
        }
        std::va_list writing;
        va_copy(writing, *self.arguments);
        std::vsnprintf(text, static_cast<std::size_t>(size) + 1, self.format, writing);
        va_end(writing);
        return append(sink, text, static_cast<std::size_t>(size));
    }
};

}  // namespace detail

// Whether a record of this level and target would be looked at further.
inline bool enabled(Level level, std::string_view target) {
    const log_abi::LogTable* table = detail::table();
    return table != nullptr && detail::below_max_level(*table, level) &&
           table->enabled(static_cast<std::uint8_t>(level), target.data(), target.size()) != 0;
}

// Hands one record to tervalin. `make()` returns the message (anything
// convertible to std::string_view) and is called only for an accepted
// record, at most once; what it throws is rethrown from here. Before tervalin
// is found every record is dropped (Outcome::done).
template <class F>
Outcome emit(Level level, std::string_view target, const F& make, Site site = {}) {
    const log_abi::LogTable* table = detail::table();
    if (table == nullptr || !detail::below_max_level(*table, level)) return Outcome::done;
    const detail::CallableWriter<F> writer{make, nullptr};
    const int status = table->emit(static_cast<std::uint8_t>(level), target.data(), target.size(), site.file,
                                   site.line, &writer, &detail::CallableWriter<F>::write);
    if (writer.failure) std::rethrow_exception(writer.failure);
    return detail::outcome_of(status);
}

template <class F>
Outcome error(std::string_view target, const F& make, Site site = {}) {
    return emit(Level::error, target, make, site);
}
template <class F>
Outcome warn(std::string_view target, const F& make, Site site = {}) {
    return emit(Level::warn, target, make, site);
}
template <class F>
Outcome info(std::string_view target, const F& make, Site site = {}) {
    return emit(Level::info, target, make, site);
}
template <class F>
Outcome debug(std::string_view target, const F& make, Site site = {}) {
    return emit(Level::debug, target, make, site);
}
template <class F>
Outcome trace(std::string_view target, const F& make, Site site = {}) {
    return emit(Level::trace, target, make, site);
}

namespace detail {

inline Outcome emit_formatted(Level level, std::string_view target, Site site, const char* format,
                              std::va_list* arguments) {
    const log_abi::LogTable* table = detail::table();
    if (table == nullptr || !detail::below_max_level(*table, level)) return Outcome::done;
    const FormatWriter writer{format, arguments};
    return outcome_of(table->emit(static_cast<std::uint8_t>(level), target.data(), target.size(), site.file,
                                  site.line, &writer, &FormatWriter::write));
}

}  // namespace detail

// printf-style records; the format is applied only to an accepted record.
#define TERVALIN_LOG_FORMATTED(name, level)                                                       \
    __attribute__((format(printf, 3, 4))) inline Outcome name(std::string_view target, Site site, \
                                                              const char* format, ...) {          \
        std::va_list arguments;                                                                   \
        va_start(arguments, format);                                                              \
        Outcome outcome = Outcome::done;                                                          \
        try {                                                                                     \
            outcome = detail::emit_formatted(level, target, site, format, &arguments);            \
        } catch (...) { /* only a forced unwind (the thread is being ended) */                    \
            va_end(arguments);                                                                    \
            throw;                                                                                \
        }                                                                                         \
        va_end(arguments);                                                                        \
        return outcome;                                                                           \
    }

TERVALIN_LOG_FORMATTED(errorf, Level::error)
TERVALIN_LOG_FORMATTED(warnf, Level::warn)
TERVALIN_LOG_FORMATTED(infof, Level::info)
TERVALIN_LOG_FORMATTED(debugf, Level::debug)
TERVALIN_LOG_FORMATTED(tracef, Level::trace)

#undef TERVALIN_LOG_FORMATTED

}  // namespace tervalin::log
