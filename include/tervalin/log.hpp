// tervalin: native logging into Python's `logging` from an extension module
// built separately from tervalin.
//
// Header-only, C++17 on, no link-time dependency: the records go to the log
// facade of the loaded tervalin module, found through the module object's
// state (<tervalin/module_state.hpp>) and reached through a table of C
// functions (<tervalin/log_table.hpp>), so the two sides may link different
// C++ runtimes. Python's `logging` decides what becomes of a record with the
// logger's level and handlers, as for any Python record.
//
// Targets and logger names: a record for target "motor::bus" goes to the
// Python logger `logging.getLogger("motor.bus")` ("::" becomes "."; a target
// without "::", "motor.bus" included, is used as it stands). The empty target
// goes to the root logger, but its records carry the name "" where Python's
// own root records carry "root": a `%(name)s` in a format prints nothing and
// a `logging.Filter("root")` does not match them. Levels: error 40, warn 30,
// info 20, debug 10; trace records are never forwarded.
//
// Calls: `info(target, make, site)` (and error, warn, debug, trace) calls
// `make()` for the message only when the record passes the filters, at most
// once. `site` is where the record comes from, `TERVALIN_LOG_SITE` for the
// calling line: its file and line become the Python record's `pathname` and
// `lineno`, None and 0 when it is left out (`{}`). The printf-style calls
// (`infof(target, site, format, ...)`) apply the format the same way. Every
// call returns an Outcome, and `Outcome::done` covers a record forwarded and
// a record dropped alike (by a filter, before tervalin is found, or while the
// interpreter is exiting); the logging call tells no more.
//
// Threads: callable from any thread, with or without the interpreter lock;
// tervalin takes the lock itself when a record must reach Python. Exiting is
// safe at any point: once Python's `atexit` functions have run, a thread
// that does not hold the lock no longer asks for it, and its records are
// dropped (finalisation would end the thread, or block it for good). A record
// above the facade's maximum level costs one atomic load here; one that
// tervalin's logger cache rejects costs one call and one lock-free lookup
// there; in neither case is the interpreter lock taken or the message made.
// A native thread without a thread state of its own gets a new one from
// CPython for every record it forwards, and a new `threadName`, "Dummy-<n>",
// each time: a forwarded record costs about 2.5 times the instructions it
// costs an attached thread (bench/threads.py). Give a thread that logs a
// ThreadAttachment for its lifetime (below): it keeps one thread state and
// one `threadName`, and each forwarded record pays the lock's hand-over.
//
// Deadlock: a thread that forwards a record needs the interpreter lock. A
// thread holding the lock that waits for a logging thread (std::thread::join
// in a function called from Python) waits forever. Join threads that log with
// the lock released:
//
//     Py_BEGIN_ALLOW_THREADS
//     worker.join();
//     Py_END_ALLOW_THREADS
//
// Call `tervalin::log::bind()` from the extension's init function: until the
// facade is found, records from threads that do not hold the interpreter
// lock are dropped (finding it needs the lock, which such a thread is not
// made to wait for). It also registers the functions with which `atexit` and
// `os.register_at_fork` keep attached threads safe through exit and fork.
//
//     tervalin::log::info("motor::bus", [&] { return "timeout on " + name; });
//     tervalin::log::warnf("motor::bus", TERVALIN_LOG_SITE, "id %u lost", id);
#pragma once

#include <tervalin/log_table.hpp>
#include <tervalin/module_state.hpp>

#include <Python.h>

#include <atomic>
#include <chrono>
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <exception>
#include <memory>
#include <new>
#include <cstring>
#include <string_view>
#include <thread>

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
    done,        // forwarded, or dropped (by a filter, before tervalin is found, while the interpreter exits)
    panicked,    // a Python handler raised PanicException; tervalin reported it on standard error
    no_message,  // the message could not be made (out of memory); the record was dropped
};

namespace detail {

// The facade's table once found; never unset (the module lives as long as the process).
TERVALIN_KIT_LOCAL inline std::atomic<const log_abi::LogTable*> bound_table{nullptr};

constexpr std::size_t state_head_size = offsetof(ModuleState, classes);

// A record to be forwarded from a thread that does not hold the interpreter
// lock asks for it (with the thread's attachment here, or through tervalin)
// only after passing this gate, which closes when the interpreter begins to
// exit; so does an attachment's beginning and end. Once
// finalisation has begun, a thread that asks for the lock never gets it:
// CPython 3.13 before 3.13.8 ends the thread inside the call, later releases
// make it wait for good. No check made before asking can rule that out, as
// finalisation may begin right after it; but CPython runs the `atexit`
// functions first, while the interpreter still works, and the gate's is one:
// it closes the gate, then waits (with the lock released) for the threads
// that passed it to give the lock back. From then on none of this
// extension's threads asks again (tervalin's own check, made just before it
// asks, leaves that window open for other callers).
struct ExitGate {
    std::atomic<long> passed{0};
    std::atomic<bool> closed{false};
};
TERVALIN_KIT_LOCAL inline ExitGate exit_gate;

// True when the calling thread may take the interpreter lock until
// leave_gate(). Sequentially consistent on both sides: either this thread
// sees the gate closed, or the closing thread sees it counted and waits.
inline bool enter_gate() noexcept {
    exit_gate.passed.fetch_add(1);
    if (!exit_gate.closed.load() && Py_IsInitialized() != 0 && Py_IsFinalizing() == 0) return true;
    exit_gate.passed.fetch_sub(1);
    return false;
}

inline void leave_gate() noexcept { exit_gate.passed.fetch_sub(1); }

inline PyObject* close_gate(PyObject*, PyObject*) noexcept {
    exit_gate.closed.store(true);
    if (exit_gate.passed.load() != 0) {
        Py_BEGIN_ALLOW_THREADS;
        // Those threads need the lock and a core: a short sleep leaves both to them.
        while (exit_gate.passed.load() != 0) std::this_thread::sleep_for(std::chrono::microseconds(50));
        Py_END_ALLOW_THREADS;
    }
    Py_RETURN_NONE;
}

// In a child made by fork() only the forking thread exists: threads that had
// passed the gate in the parent are not there to leave it.
inline PyObject* reset_gate_after_fork(PyObject*, PyObject*) noexcept {
    exit_gate.passed.store(0);
    Py_RETURN_NONE;
}

TERVALIN_KIT_LOCAL inline PyMethodDef close_gate_method{"close_native_log_gate", close_gate, METH_NOARGS,
                                                        "Stops native threads taking the interpreter lock."};
TERVALIN_KIT_LOCAL inline PyMethodDef reset_gate_method{"reset_native_log_gate", reset_gate_after_fork,
                                                        METH_NOARGS, "Forgets the threads of the parent process."};

// Calls `module.function(method)`, with `method` as the keyword argument
// `keyword` unless that is null; needs the interpreter lock. False with the
// exception set on failure.
inline bool register_with(const char* module_name, const char* function_name, const char* keyword,
                          PyMethodDef& method) noexcept {
    PyObject* module = PyImport_ImportModule(module_name);
    if (module == nullptr) return false;
    PyObject* function = PyObject_GetAttrString(module, function_name);
    Py_DECREF(module);
    PyObject* callback = function != nullptr ? PyCFunction_New(&method, nullptr) : nullptr;
    PyObject* result = nullptr;
    if (callback != nullptr) {
        PyObject* arguments = keyword != nullptr ? PyTuple_New(0) : PyTuple_Pack(1, callback);
        PyObject* keywords = keyword != nullptr ? Py_BuildValue("{sO}", keyword, callback) : nullptr;
        if (arguments != nullptr && (keyword == nullptr || keywords != nullptr))
            result = PyObject_Call(function, arguments, keywords);
        Py_XDECREF(keywords);
        Py_XDECREF(arguments);
    }
    Py_XDECREF(callback);
    Py_XDECREF(function);
    Py_XDECREF(result);
    return result != nullptr;
}

// Registers close_gate with `atexit` and, where processes fork,
// reset_gate_after_fork with `os.register_at_fork`; needs the interpreter
// lock. False with the exception set when either cannot be registered.
inline bool register_exit_gate() noexcept {
#if defined(_WIN32)
    constexpr bool forks = false;
#else
    constexpr bool forks = true;
#endif
    return register_with("atexit", "register", nullptr, close_gate_method) &&
           (!forks || register_with("os", "register_at_fork", "after_in_child", reset_gate_method));
}

}  // namespace detail

// Imports tervalin and finds its log facade; needs the interpreter lock.
// Returns false with an ImportError set when the imported 'tervalin' is not
// the extension module or has another log table version (or with the error
// of `atexit.register` or `os.register_at_fork`, which the exit gate of
// attached threads needs).
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
    // Before the table is published: a bound extension always has its gate hooked.
    if (!detail::register_exit_gate()) return false;
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

// The thread state of the calling thread's ThreadAttachment, given back (the
// lock released) while the thread works; null on a thread without one.
TERVALIN_KIT_LOCAL inline thread_local PyThreadState* attached_state = nullptr;

// Hands a record that passed the maximum level to tervalin. tervalin's
// lock-free check comes first, so that a rejected record touches neither the
// lock nor the gate. An accepted record passes the gate: a thread that holds
// the lock already, or has no thread state of its own, leaves the lock to
// tervalin (which takes it per record); an attached thread takes it here with
// its own thread state, and tervalin then finds it held and only counts it.
// Once the gate has closed, only a thread that holds the lock may forward.
inline int submit(const log_abi::LogTable& table, Level level, std::string_view target, Site site,
                  const void* context, log_abi::LogWrite write) {
    const auto level_value = static_cast<std::uint8_t>(level);
    if (table.enabled(level_value, target.data(), target.size()) == 0) return log_abi::emit_done;
    if (!enter_gate()) {
        if (PyGILState_Check() == 0) return log_abi::emit_done;
        return table.emit(level_value, target.data(), target.size(), site.file, site.line, context, write);
    }
    PyThreadState* const own = attached_state;
    const bool take = own != nullptr && PyGILState_Check() == 0;
    if (take) PyEval_RestoreThread(own);
    // emit lets nothing through but the forced unwind of a thread that
    // CPython ends for asking for the lock during finalisation, which the
    // gate keeps from happening here; such a thread holds no lock to give
    // back, so nothing below may run for it (no scope guard).
    const int status = table.emit(level_value, target.data(), target.size(), site.file, site.line, context, write);
    if (take) PyEval_SaveThread();
    leave_gate();
    return status;
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
    const int status = detail::submit(*table, level, target, site, &writer, &detail::CallableWriter<F>::write);
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
    return outcome_of(submit(*table, level, target, site, &writer, &FormatWriter::write));
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

namespace detail {

// Sets `threading.current_thread().name`, the `threadName` of the thread's
// records; needs the interpreter lock. A failure is reported as unraisable.
inline void name_this_thread(const char* name) noexcept {
    PyObject* threading = PyImport_ImportModule("threading");
    PyObject* current = threading != nullptr ? PyObject_CallMethod(threading, "current_thread", nullptr) : nullptr;
    PyObject* text = current != nullptr ? PyUnicode_DecodeUTF8(name, static_cast<Py_ssize_t>(std::strlen(name)),
                                                              "replace")
                                        : nullptr;
    if (text == nullptr || PyObject_SetAttrString(current, "name", text) < 0) PyErr_WriteUnraisable(nullptr);
    Py_XDECREF(text);
    Py_XDECREF(current);
    Py_XDECREF(threading);
}

}  // namespace detail

// Attaches the calling native thread to the interpreter for the attachment's
// lifetime: the constructor makes the thread's Python thread state (taking
// the interpreter lock once, with PyGILState_Ensure) and gives the lock back
// at once; the destructor deletes the thread state. In between, each record
// the thread forwards takes the lock with that thread state and gives it back
// (PyEval_RestoreThread, PyEval_SaveThread): the lock's hand-over instead
// of a thread state made and deleted. Records rejected by a filter take no
// lock at all.
//
// `threadName` of the thread's records is `name` when one is given, else the
// name Python gives a thread it did not start, "Dummy-<n>"; it is the same
// for every record while the attachment lives, as are `thread` and
// `threadName` of `threading.current_thread()`. Without an attachment a
// native thread gets a new thread state, and a new "Dummy-<n>", per record.
//
// Make it the first local of the thread's function; it is neither copied nor
// moved, and must be destroyed on the thread that made it:
//
//     std::thread worker([&] {
//         tervalin::log::ThreadAttachment attached("can-reader");
//         while (running) tervalin::log::info("motor::bus", [&] { return read_one(); });
//     });
//     ...
//     Py_BEGIN_ALLOW_THREADS  // joined with the lock released, or it waits forever
//     worker.join();
//     Py_END_ALLOW_THREADS
//
// The attachment does nothing (and tests false) on a thread that has a thread
// state already (a Python thread, or inside another attachment), when
// tervalin cannot be found, and while the interpreter is not running or is
// exiting. Exiting is safe at any point: once Python's `atexit` functions
// have run, an attached thread takes the lock no more; its records are
// dropped, and a destructor that runs from then on leaves the thread state
// to the interpreter, which frees it as it finalises. The thread may end
// before or after that. Its destructor never blocks on a finalising
// interpreter; it may wait for the lock while the interpreter runs.
class ThreadAttachment {
public:
    explicit ThreadAttachment(const char* name = nullptr) noexcept {
        if (detail::attached_state != nullptr || !detail::enter_gate()) return;
        if (PyGILState_GetThisThreadState() == nullptr) {
            const PyGILState_STATE ensured = PyGILState_Ensure();
            // Finding tervalin also hooks the exit gate, without which this
            // thread must not take the lock on its own later.
            if (detail::table() != nullptr) {
                if (name != nullptr) detail::name_this_thread(name);
                ensured_ = ensured;
                state_ = PyEval_SaveThread();
                detail::attached_state = state_;
            } else {
                PyGILState_Release(ensured);
            }
        }
        detail::leave_gate();
    }

    // Not noexcept: were the exit gate not hooked (its atexit function
    // removed), CPython could end the thread while it asks for the lock
    // here, by a forced unwind that must go on through the thread's frames.
    ~ThreadAttachment() noexcept(false) {
        if (state_ == nullptr) return;
        if (detail::attached_state != state_) {
            // Taking the lock with another thread's state would corrupt the interpreter.
            std::fputs("tervalin: a ThreadAttachment was destroyed on another thread than the one it attached; "
                       "its thread state is left in place\n",
                       stderr);
            return;
        }
        detail::attached_state = nullptr;
        if (!detail::enter_gate()) return;
        PyEval_RestoreThread(state_);
        PyGILState_Release(ensured_);  // deletes the thread state and gives the lock back
        detail::leave_gate();
    }

    ThreadAttachment(const ThreadAttachment&) = delete;
    ThreadAttachment& operator=(const ThreadAttachment&) = delete;

    // Whether this attachment holds the thread's thread state.
    explicit operator bool() const noexcept { return state_ != nullptr; }

private:
    PyThreadState* state_ = nullptr;
    PyGILState_STATE ensured_ = PyGILState_UNLOCKED;
};

}  // namespace tervalin::log
