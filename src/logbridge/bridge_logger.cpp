#include "logbridge/bridge_logger.hpp"

#include "binding/boundary.hpp"
#include "binding/error.hpp"
#include "binding/fault.hpp"

#include <array>
#include <iterator>

namespace tervalin::log {
namespace {

constexpr std::array<int, 5> python_levels{40, 30, 20, 10, 5};  // error .. trace

[[nodiscard]] int python_level(Level level) noexcept {
    return python_levels[static_cast<std::size_t>(level) - 1];
}

[[nodiscard]] Ref text_object(std::string_view text) {
    return Ref::steal(PyUnicode_DecodeUTF8(text.data(), static_cast<Py_ssize_t>(text.size()), "replace"));
}

// "a::b::c" is the Python logger "a.b.c". Writes to `out`, which has room for
// target.size() characters (the name is never longer), and returns the size.
std::size_t write_logger_name(std::string_view target, char* out) {
    std::size_t size = 0;
    for_each_segment(target, [&, first = true](std::string_view segment) mutable {
        if (!first) out[size++] = '.';
        first = false;
        segment.copy(out + size, segment.size());
        size += segment.size();
    });
    return size;
}

// Names of ordinary length are built on the stack.
[[nodiscard]] Ref logger_name_object(std::string_view target) {
    if (target.find("::") == std::string_view::npos) return text_object(target);
    constexpr std::size_t stack_room = 256;
    if (target.size() <= stack_room) {
        std::array<char, stack_room> name;
        return text_object({name.data(), write_logger_name(target, name.data())});
    }
    std::string name(target.size(), '\0');
    return text_object({name.data(), write_logger_name(target, name.data())});
}

// The failure of a Python call made while forwarding: printed, never raised.
// A PanicException continues as a fault instead (take_error resumes it).
[[gnu::cold, gnu::noinline]] void report_failure() {
    restore_error(fetch_error());
    interpreter_call([] { PyErr_PrintEx(0); });
}

template <class... Arguments>
Ref call_method(PyObject* object, PyObject* name, Arguments... arguments) {
    PyObject* vector[] = {object, arguments...};
    return Ref::steal(interpreter_call([&] {
        return PyObject_VectorcallMethod(name, vector, std::size(vector) | PY_VECTORCALL_ARGUMENTS_OFFSET, nullptr);
    }));
}

// 1 for true, 0 for false, -1 when the call or the truth test failed.
int is_enabled_for(const PythonNames& names, PyObject* logger, int level) {
    Ref number = Ref::steal(PyLong_FromLong(level));
    if (!number) return -1;
    Ref answer = call_method(logger, names.is_enabled_for.get(), number.get());
    if (!answer) return -1;
    return interpreter_call([&] { return PyObject_IsTrue(answer.get()); });
}

// The most verbose level the logger accepts now; a failing probe counts as trace.
LevelFilter probe(const PythonNames& names, PyObject* logger) {
    constexpr std::array<LevelFilter, 5> filters{LevelFilter::trace, LevelFilter::debug, LevelFilter::info,
                                                 LevelFilter::warn, LevelFilter::error};
    constexpr std::array<int, 5> levels{5, 10, 20, 30, 40};
    for (std::size_t i = 0; i < levels.size(); ++i) {
        const int answer = is_enabled_for(names, logger, levels[i]);
        if (answer < 0) {
            report_failure();
            return LevelFilter::trace;
        }
        if (answer == 1) return filters[i];
    }
    return LevelFilter::off;
}

}  // namespace

std::optional<PythonNames> PythonNames::create() {
    PythonNames names{
        Ref::steal(PyUnicode_InternFromString("getLogger")),
        Ref::steal(PyUnicode_InternFromString("isEnabledFor")),
        Ref::steal(PyUnicode_InternFromString("makeRecord")),
        Ref::steal(PyUnicode_InternFromString("handle")),
    };
    if (!names.get_logger || !names.is_enabled_for || !names.make_record || !names.handle) return std::nullopt;
    return names;
}

BridgeLogger::BridgeLogger(Ref logging_module, PythonNames names, std::shared_ptr<LoggerCache> cache)
    : logging_(std::move(logging_module)), names_(std::move(names)), cache_(std::move(cache)) {}

bool BridgeLogger::cache_rejects(Level level, const NodeRef* node) noexcept {
    return node != nullptr && (*node)->entry && !passes(level, (*node)->entry->filter);
}

bool BridgeLogger::enabled(Level level, std::string_view target) const {
    return !cache_->read(target, [&](const NodeRef* node) { return cache_rejects(level, node); }) &&
           passes(level, configured_);
}

void BridgeLogger::log(const Record& record) const {
    // A rejected record ends inside the read section, having written nothing
    // but this thread's own reader counter; an accepted one keeps its node
    // alive with a reference of its own, since forwarding waits for the
    // interpreter lock.
    bool rejected = false;
    NodeRef node = cache_->read(record.target, [&](const NodeRef* found) {
        rejected = cache_rejects(record.level, found);
        return rejected || found == nullptr ? NodeRef() : *found;
    });
    if (rejected || !passes(record.level, configured_)) return;
    {
        // While the interpreter shuts down the record is dropped here.
        LockGuard lock = acquire_lock_unless_finalizing();
        if (!lock) return;
        forward(record, node.get());
    }
    // The node goes only now, without the lock: its logger's release is queued.
}

void BridgeLogger::forward(const Record& record, const CacheNode* node) const {
    std::string text;
    record.message.write(text);
    const int level = python_level(record.level);

    const CacheEntry* cached = node != nullptr && node->entry ? &*node->entry : nullptr;
    Ref name_object = cached != nullptr ? Ref::new_ref(cached->name.get()) : logger_name_object(record.target);
    Ref message = text_object(text);
    if (!name_object || !message) return report_failure();

    Ref logger = cached != nullptr ? Ref::new_ref(cached->logger.get()) : python_logger(name_object.get());
    if (!logger) return report_failure();

    const int enabled = is_enabled_for(names_, logger.get(), level);
    if (enabled < 0) return report_failure();
    if (enabled == 1) {
        Ref level_number = Ref::steal(PyLong_FromLong(level));
        Ref file = record.file ? text_object(*record.file) : Ref::new_ref(Py_None);
        Ref line = Ref::steal(PyLong_FromUnsignedLong(record.line.value_or(0)));
        Ref no_args = Ref::steal(PyTuple_New(0));
        if (!level_number || !file || !line || !no_args) return report_failure();
        Ref python_record = call_method(logger.get(), names_.make_record.get(), name_object.get(),
                                        level_number.get(), file.get(), line.get(), message.get(),
                                        no_args.get(), Py_None);
        if (!python_record) return report_failure();
        Ref handled = call_method(logger.get(), names_.handle.get(), python_record.get());
        if (!handled) return report_failure();
    }
    // The logger is cached whether or not this record was forwarded.
    if (cached == nullptr) remember(record.target, logger.get(), name_object.get());
}

// Only a target's first record comes here, so these stay out of the way of
// the cached path.
Ref BridgeLogger::python_logger(PyObject* name) const {
    Ref get_logger =
        Ref::steal(interpreter_call([&] { return PyObject_GetAttr(logging_.get(), names_.get_logger.get()); }));
    if (!get_logger) return get_logger;
    return Ref::steal(interpreter_call([&] { return PyObject_CallOneArg(get_logger.get(), name); }));
}

void BridgeLogger::remember(std::string_view target, PyObject* logger, PyObject* name) const {
    cache_->store(target, probe(names_, logger), logger, name);
}

std::shared_ptr<LoggerCache> install_bridge() {
    auto cache = std::make_shared<LoggerCache>();
    std::unique_ptr<BridgeLogger> bridge;
    {
        LockGuard lock = acquire_lock();
        Ref name = Ref::steal(checked(PyUnicode_FromString("logging")));
        Ref logging = Ref::steal(interpreter_call([&] { return PyImport_Import(name.get()); }));
        if (!logging) fault("Failed to initialize python logging: " + fetch_error().render());
        std::optional<PythonNames> names = PythonNames::create();
        if (!names) api_failure();
        bridge = std::make_unique<BridgeLogger>(std::move(logging), std::move(*names), cache);
    }
    const LevelFilter highest = bridge->configured();
    if (!set_logger(std::move(bridge))) {
        fault("called `Result::unwrap()` on an `Err` value: SetLoggerError(())");
    }
    set_max_level(highest);
    return cache;
}

}  // namespace tervalin::log
