#include "native_hooks.hpp"

#include "allocation_count.hpp"
#include "kit_hooks.hpp"
#include "thread_hooks.hpp"

#include "binding/boundary.hpp"
#include "binding/error.hpp"

#include "logbridge/bridge_logger.hpp"
#include "logbridge/native_log.hpp"
#include "logbridge/read_sections.hpp"

#include <tervalin/producer.hpp>

#include <atomic>
#include <chrono>
#include <cstring>
#include <source_location>
#include <stdexcept>
#include <string>
#include <thread>
#include <type_traits>
#include <vector>

namespace {

using namespace tervalin;

// motor_state(motor_id, error, position, velocity, torque, t_mos, t_rotor):
// a MotorState made the way a native producer makes one.
PyObject* motor_state(PyObject*, PyObject* args) {
    MotorStateRecord fields{};
    if (!PyArg_ParseTuple(args, "bbfffbb", &fields.motor_id, &fields.error, &fields.position,
                          &fields.velocity, &fields.torque, &fields.t_mos, &fields.t_rotor))
        return nullptr;
    return producer::make_motor_state(fields);
}

// motor_state_bits(motor_id, error, position_bits, velocity_bits, torque_bits, t_mos, t_rotor):
// the floats given as their IEEE-754 bit patterns, so that any single (NaN
// payloads included) can be stored exactly.
PyObject* motor_state_bits(PyObject*, PyObject* args) {
    MotorStateRecord fields{};
    unsigned int bits[3] = {};
    if (!PyArg_ParseTuple(args, "bbIIIbb", &fields.motor_id, &fields.error, &bits[0], &bits[1],
                          &bits[2], &fields.t_mos, &fields.t_rotor))
        return nullptr;
    std::memcpy(&fields.position, &bits[0], sizeof(float));
    std::memcpy(&fields.velocity, &bits[1], sizeof(float));
    std::memcpy(&fields.torque, &bits[2], sizeof(float));
    return producer::make_motor_state(fields);
}

// check_layout(module, version=0, index=-1, type_name=None, basic_size=-1):
// the producer kit's layout check of `module` against the compiled layout,
// changed as asked: another version (0 keeps it), and for class `index`
// another type name or basic size. True on a match, else the check's error.
PyObject* check_layout(PyObject*, PyObject* args) {
    PyObject* module = nullptr;
    unsigned int version = 0;
    int index = -1;
    const char* type_name = nullptr;
    Py_ssize_t basic_size = -1;
    if (!PyArg_ParseTuple(args, "O|Iizn", &module, &version, &index, &type_name, &basic_size)) return nullptr;
    producer::Layout expected = producer::compiled_layout;
    if (version != 0) expected.version = version;
    if (index >= 0 && static_cast<std::size_t>(index) < producer::class_count) {
        if (type_name != nullptr) expected.classes[index].type_name = type_name;
        if (basic_size >= 0) expected.classes[index].basic_size = basic_size;
    }
    PyTypeObject* types[producer::class_count] = {};
    if (!producer::check_layout(module, expected, types)) return nullptr;
    producer::detail::release(types);
    Py_RETURN_TRUE;
}

// The value of `result`, or a fault for its error.
template <class T>
T unwrap(Result<T>&& result, std::source_location where = std::source_location::current()) {
    if (!result) unwrap_failed(std::move(result).error(), where);
    if constexpr (!std::is_void_v<T>) return *std::move(result);
}

// fault(kind): a native fault inside a call boundary. "text" faults with a
// message, "standard" throws a standard exception, "foreign" throws a value
// that carries no text, "unwrap" treats a TypeError as a fault.
PyObject* fault(PyObject*, PyObject* arg) {
    const char* kind = PyUnicode_AsUTF8(arg);
    if (kind == nullptr) return nullptr;
    std::string which(kind);
    return call_boundary<PyObject*>(nullptr, [&]() -> Result<PyObject*> {
        if (which == "text") tervalin::fault("deliberate fault from a test hook");
        if (which == "standard") throw std::runtime_error("standard failure from a test hook");
        if (which == "foreign") throw 42;
        if (which == "unwrap") {
            unwrap(Result<void>(fail(PyErr::with_text(PyExc_TypeError, "inner message"))));
        }
        return Py_NewRef(Py_None);
    });
}

// lock_depth(): the calling thread's depth, read outside any boundary.
PyObject* lock_depth_hook(PyObject*, PyObject*) { return PyLong_FromLong(lock_depth()); }

// release_on_foreign_thread(obj): a thread that does not hold the
// interpreter lock releases one reference to obj, which must be queued.
PyObject* release_on_foreign_thread(PyObject*, PyObject* object) {
    Py_INCREF(object);
    std::thread releaser([object] { release_ref(object); });
    releaser.join();
    return PyLong_FromSize_t(deferred_release_count());
}

PyObject* deferred_count(PyObject*, PyObject*) { return PyLong_FromSize_t(deferred_release_count()); }

// call_in_boundary(callable): calls it inside a boundary and fetches its
// failure the way native code does (a fetched PanicException resumes).
PyObject* call_in_boundary(PyObject*, PyObject* callable) {
    return call_boundary<PyObject*>(nullptr, [callable]() -> Result<Ref> {
        Ref result = Ref::steal(PyObject_CallNoArgs(callable));
        if (!result) return fail(fetch_error());
        return result;
    });
}

// How many record messages the bridge asked for: a rejected record asks for none.
std::atomic<long> messages_formatted{0};

void emit_counted(log::Level level, std::string_view target, log::Site site, const std::string& text) {
    auto make = [&] {
        messages_formatted.fetch_add(1, std::memory_order_relaxed);
        return std::string_view(text);
    };
    log::emit(level, target, site, log::Message(make));
}

// log(level, target, message, file=None, line=0): one record from this thread,
// which holds the interpreter lock but is in no boundary.
PyObject* log_hook(PyObject*, PyObject* args) {
    int level = 0;
    const char* target = nullptr;
    Py_ssize_t target_size = 0;
    const char* message = nullptr;
    const char* file = nullptr;
    unsigned int line = 0;
    if (!PyArg_ParseTuple(args, "is#s|zI", &level, &target, &target_size, &message, &file, &line)) return nullptr;
    if (level < 1 || level > 5) {
        PyErr_SetString(PyExc_ValueError, "level must be 1..5");
        return nullptr;
    }
    try {
        emit_counted(static_cast<log::Level>(level), std::string_view(target, static_cast<std::size_t>(target_size)),
                     log::Site{file, line}, message);
    } catch (const NativeFault& fault) {
        PyErr_Format(PyExc_RuntimeError, "native fault left the log call: %s", fault.message().c_str());
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* formatted_count(PyObject*, PyObject*) { return PyLong_FromLong(messages_formatted.load()); }

// logf(target, number): a printf-style info record "number %d".
PyObject* logf_hook(PyObject*, PyObject* args) {
    const char* target = nullptr;
    int number = 0;
    if (!PyArg_ParseTuple(args, "si", &target, &number)) return nullptr;
    log::infof(target, log::Site::here(), "number %d", number);
    Py_RETURN_NONE;
}

std::vector<PyObject*> positional_items(PyObject* tuple) {
    std::vector<PyObject*> items;
    for (Py_ssize_t i = 0; i < PyTuple_GET_SIZE(tuple); ++i) items.push_back(PyTuple_GET_ITEM(tuple, i));
    return items;
}

std::vector<std::string> strings_of(PyObject* sequence) {
    std::vector<std::string> strings;
    const Py_ssize_t count = PySequence_Size(sequence);
    for (Py_ssize_t i = 0; i < count; ++i) {
        PyObject* item = PySequence_GetItem(sequence, i);
        if (item == nullptr) return {};
        const char* text = PyUnicode_AsUTF8(item);
        if (text != nullptr) strings.emplace_back(text);
        Py_DECREF(item);
        if (text == nullptr) return {};
    }
    return strings;
}

// log_from_threads(threads, records, targets, level): native threads without
// the interpreter lock emit `records` records each, cycling through `targets`;
// the record's message is "<thread>:<index>".
PyObject* log_from_threads(PyObject*, PyObject* args) {
    int thread_count = 0;
    int records = 0;
    PyObject* target_list = nullptr;
    int level = 0;
    if (!PyArg_ParseTuple(args, "iiOi", &thread_count, &records, &target_list, &level)) return nullptr;
    const std::vector<std::string> targets = strings_of(target_list);
    if (targets.empty()) {
        if (!PyErr_Occurred()) PyErr_SetString(PyExc_ValueError, "targets must not be empty");
        return nullptr;
    }
    std::vector<std::thread> threads;
    Py_BEGIN_ALLOW_THREADS;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < records; ++i) {
                const std::string& target = targets[static_cast<std::size_t>(i + t) % targets.size()];
                emit_counted(static_cast<log::Level>(level), target, log::Site{},
                             std::to_string(t) + ":" + std::to_string(i));
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

// rejected_while_locked(target, level, count): a native thread emits `count`
// records while this thread keeps the interpreter lock. Returns whether it
// finished without the lock (within ten seconds); the thread is joined either way.
PyObject* rejected_while_locked(PyObject*, PyObject* args) {
    const char* target_text = nullptr;
    int level = 0;
    int count = 0;
    if (!PyArg_ParseTuple(args, "sii", &target_text, &level, &count)) return nullptr;
    std::string target(target_text);
    std::atomic<bool> done{false};
    std::thread emitter([&] {
        for (int i = 0; i < count; ++i) emit_counted(static_cast<log::Level>(level), target, log::Site{}, "rejected");
        done.store(true);
    });
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done.load() && std::chrono::steady_clock::now() < deadline)
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool finished_without_lock = done.load();
    Py_BEGIN_ALLOW_THREADS;
    emitter.join();
    Py_END_ALLOW_THREADS;
    return PyBool_FromLong(finished_without_lock);
}

// emit_timed(level, target, count): emits `count` records with a fixed message
// from this thread and returns the nanoseconds they took.
PyObject* emit_timed(PyObject*, PyObject* args) {
    int level = 0;
    const char* target = nullptr;
    long count = 0;
    if (!PyArg_ParseTuple(args, "isl", &level, &target, &count)) return nullptr;
    const std::string_view view(target);
    const auto make = [] { return std::string_view("timed record"); };
    const log::Message message(make);
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < count; ++i) log::emit(static_cast<log::Level>(level), view, log::Site{}, message);
    const auto elapsed = std::chrono::steady_clock::now() - start;
    return PyLong_FromLongLong(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count());
}

// allocations(callable, args, kwargs, repeat): heap allocations made by
// `repeat` calls of callable(*args, **kwargs), results dropped. Keywords are
// passed as a vector call, so CPython itself allocates nothing for the call;
// a type called without keywords gets its positional tuple.
PyObject* allocations(PyObject*, PyObject* args) {
    PyObject* callable = nullptr;
    PyObject* positional = nullptr;
    PyObject* keywords = nullptr;
    long repeat = 0;
    if (!PyArg_ParseTuple(args, "OO!Ol", &callable, &PyTuple_Type, &positional, &keywords, &repeat)) return nullptr;
    if (keywords == Py_None) keywords = nullptr;
    std::vector<PyObject*> vector(positional_items(positional));
    PyObject* names = nullptr;
    if (keywords != nullptr) {
        names = PyTuple_New(PyDict_Size(keywords));
        Py_ssize_t at = 0, index = 0;
        PyObject* key = nullptr;
        PyObject* value = nullptr;
        while (PyDict_Next(keywords, &at, &key, &value)) {
            PyTuple_SET_ITEM(names, index++, Py_NewRef(key));
            vector.push_back(value);
        }
    }
    bool failed = false;
    const long count = count_allocations([&] {
        for (long i = 0; i < repeat && !failed; ++i) {
            PyObject* result = names != nullptr || !PyType_Check(callable)
                                   ? PyObject_Vectorcall(callable, vector.data(), PyTuple_GET_SIZE(positional), names)
                                   : PyObject_Call(callable, positional, keywords);
            failed = result == nullptr;
            Py_XDECREF(result);
        }
    });
    Py_XDECREF(names);
    if (failed) return nullptr;
    return PyLong_FromLong(count);
}

// cache_entry(target): the cached filter (0..5) of the target's node, None for
// a node without entry, False when the cache has no node for it.
PyObject* cache_entry(PyObject*, PyObject* arg) {
    Py_ssize_t size = 0;
    const char* target = PyUnicode_AsUTF8AndSize(arg, &size);
    if (target == nullptr) return nullptr;
    const log::BridgeLogger* installed = installed_bridge();
    if (installed == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "the bridge is not installed");
        return nullptr;
    }
    log::NodeRef node = lookup(installed->cache(), std::string_view(target, static_cast<std::size_t>(size)));
    if (!node) Py_RETURN_FALSE;
    if (!node->entry) Py_RETURN_NONE;
    return PyLong_FromLong(static_cast<long>(node->entry->filter));
}

PyObject* max_level(PyObject*, PyObject*) { return PyLong_FromLong(static_cast<long>(log::max_level())); }

PyObject* owned_reader_counters(PyObject*, PyObject*) {
    return PyLong_FromSize_t(log::owned_reader_counters());
}

// install_again(): a second installation, inside a boundary.
PyObject* install_again(PyObject*, PyObject*) {
    return call_boundary<PyObject*>(nullptr, []() -> Result<PyObject*> {
        log::install_bridge().reset();
        return Py_NewRef(Py_None);
    });
}

PyMethodDef methods[] = {
    {"log", log_hook, METH_VARARGS, nullptr},
    {"logf", logf_hook, METH_VARARGS, nullptr},
    {"formatted_count", formatted_count, METH_NOARGS, nullptr},
    {"log_from_threads", log_from_threads, METH_VARARGS, nullptr},
    {"kit_log_from_threads", kit_log_from_threads, METH_VARARGS, nullptr},
    {"kit_attached_threads", kit_attached_threads, METH_VARARGS, nullptr},
    {"kit_park", kit_park, METH_VARARGS, nullptr},
    {"kit_log", kit_log, METH_VARARGS, nullptr},
    {"kit_release_parked", kit_release_parked, METH_O, nullptr},
    {"kit_join_parked_at_exit", kit_join_parked_at_exit, METH_NOARGS, nullptr},
    {"kit_gate_closed", kit_gate_closed, METH_NOARGS, nullptr},
    {"thread_state_count", thread_state_count, METH_NOARGS, nullptr},
    {"kit_attach_here", kit_attach_here, METH_NOARGS, nullptr},
    {"kit_attached_rejects_while_locked", kit_attached_rejects_while_locked, METH_VARARGS, nullptr},
    {"rejected_while_locked", rejected_while_locked, METH_VARARGS, nullptr},
    {"parked_store", parked_store, METH_VARARGS, nullptr},
    {"reject_under_stores", reject_under_stores, METH_VARARGS, nullptr},
    {"log_after_finalize", log_after_finalize, METH_O, nullptr},
    {"cache_entry", cache_entry, METH_O, nullptr},
    {"emit_timed", emit_timed, METH_VARARGS, nullptr},
    {"allocations", allocations, METH_VARARGS, nullptr},
    {"max_level", max_level, METH_NOARGS, nullptr},
    {"owned_reader_counters", owned_reader_counters, METH_NOARGS, nullptr},
    {"hold_read_sections", hold_read_sections, METH_O, nullptr},
    {"release_read_sections", release_read_sections, METH_NOARGS, nullptr},
    {"read_without_counter", read_without_counter, METH_O, nullptr},
    {"install_again", install_again, METH_NOARGS, nullptr},
    {"motor_state", motor_state, METH_VARARGS, nullptr},
    {"motor_state_bits", motor_state_bits, METH_VARARGS, nullptr},
    {"check_layout", check_layout, METH_VARARGS, nullptr},
    {"fault", fault, METH_O, nullptr},
    {"lock_depth", lock_depth_hook, METH_NOARGS, nullptr},
    {"release_on_foreign_thread", release_on_foreign_thread, METH_O, nullptr},
    {"deferred_count", deferred_count, METH_NOARGS, nullptr},
    {"call_in_boundary", call_in_boundary, METH_O, nullptr},
    {nullptr, nullptr, 0, nullptr},
};

PyModuleDef definition{PyModuleDef_HEAD_INIT, "_tervalin_native", "Test hooks of the embedding test program.",
                       0, methods, nullptr, nullptr, nullptr, nullptr};

}  // namespace

extern "C" PyObject* init_native_hooks() { return PyModule_Create(&definition); }
