#include "kit_hooks.hpp"

#include <tervalin/log.hpp>

#include <chrono>
#include <optional>
#include <condition_variable>
#include <cstdio>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

PyObject* kit_log_from_threads(PyObject*, PyObject* args) {
    int thread_count = 0;
    int records = 0;
    const char* target_text = nullptr;
    int level = 0;
    if (!PyArg_ParseTuple(args, "iisi", &thread_count, &records, &target_text, &level)) return nullptr;
    if (level < 1 || level > 5) {
        PyErr_SetString(PyExc_ValueError, "level must be 1..5");
        return nullptr;
    }
    if (!tervalin::log::bind()) return nullptr;
    const auto checked = static_cast<tervalin::log::Level>(level);
    using Formatted = tervalin::log::Outcome (*)(std::string_view, tervalin::log::Site, const char*, ...);
    constexpr Formatted formatted[] = {tervalin::log::errorf, tervalin::log::warnf, tervalin::log::infof,
                                       tervalin::log::debugf, tervalin::log::tracef};
    const Formatted format_record = formatted[level - 1];
    const std::string target(target_text);
    std::vector<std::thread> threads;
    Py_BEGIN_ALLOW_THREADS;
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            for (int i = 0; i < records; ++i) {
                if (t == thread_count - 1) {
                    format_record(target, TERVALIN_LOG_SITE, "%d:%d", t, i);
                } else {
                    tervalin::log::emit(checked, target, [&] { return std::to_string(t) + ":" + std::to_string(i); });
                }
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

PyObject* kit_attached_threads(PyObject*, PyObject* args) {
    int thread_count = 0;
    int records = 0;
    const char* target_text = nullptr;
    int mode = 0;
    if (!PyArg_ParseTuple(args, "iisi", &thread_count, &records, &target_text, &mode)) return nullptr;
    if (thread_count < 1 || records < 0 || mode < 0 || mode > 2) {
        PyErr_SetString(PyExc_ValueError, "threads must be positive, records not negative, mode 0, 1 or 2");
        return nullptr;
    }
    if (!tervalin::log::bind()) return nullptr;
    const std::string target(target_text);
    std::vector<char> attached(static_cast<std::size_t>(thread_count), 0);
    std::vector<std::thread> threads;
    std::chrono::steady_clock::duration elapsed{};
    Py_BEGIN_ALLOW_THREADS;
    const auto start = std::chrono::steady_clock::now();
    for (int t = 0; t < thread_count; ++t) {
        threads.emplace_back([&, t] {
            const std::string name = "kit-" + std::to_string(t);
            std::optional<tervalin::log::ThreadAttachment> attachment;
            if (mode != 0) attachment.emplace(mode == 2 ? name.c_str() : nullptr);
            attached[static_cast<std::size_t>(t)] = attachment && *attachment;
            for (int i = 0; i < records; ++i) {
                if (i % 2 == 1)
                    tervalin::log::infof(target, TERVALIN_LOG_SITE, "%d:%d", t, i);
                else
                    tervalin::log::info(target, [&] { return std::to_string(t) + ":" + std::to_string(i); });
            }
        });
    }
    for (std::thread& thread : threads) thread.join();
    elapsed = std::chrono::steady_clock::now() - start;
    Py_END_ALLOW_THREADS;
    PyObject* flags = PyList_New(thread_count);
    if (flags == nullptr) return nullptr;
    for (int t = 0; t < thread_count; ++t)
        PyList_SET_ITEM(flags, t, PyBool_FromLong(attached[static_cast<std::size_t>(t)]));
    return Py_BuildValue("(NL)", flags,
                         static_cast<long long>(std::chrono::duration_cast<std::chrono::nanoseconds>(elapsed).count()));
}

namespace {

// The thread of kit_park_attached and what releases it.
struct Parked {
    std::string target;
    std::mutex mutex;
    std::condition_variable wake;
    bool waiting = false;  // attached, "before" logged
    bool released = false;
    std::thread thread;
};
Parked* parked = nullptr;

void release_parked() {
    std::lock_guard lock(parked->mutex);
    parked->released = true;
    parked->wake.notify_all();
}

void join_parked() {
    if (parked->thread.joinable()) parked->thread.join();
}

}  // namespace

PyObject* kit_park(PyObject*, PyObject* args) {
    const char* target = nullptr;
    int attach = 0;
    if (!PyArg_ParseTuple(args, "sp", &target, &attach)) return nullptr;
    if (parked != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "a thread is parked already");
        return nullptr;
    }
    if (!tervalin::log::bind()) return nullptr;
    // Never freed: the thread may outlive the interpreter.
    parked = new Parked{target, {}, {}, false, false, {}};
    parked->thread = std::thread([state = parked, attach] {
        {
            std::optional<tervalin::log::ThreadAttachment> attachment;
            if (attach) attachment.emplace("parked");
            std::fprintf(stderr, "parked: attached %d\n", attachment && *attachment ? 1 : 0);
            tervalin::log::info(state->target, [] { return "before"; });
            {
                std::unique_lock lock(state->mutex);
                state->waiting = true;
                state->wake.notify_all();
                state->wake.wait(lock, [state] { return state->released; });
            }
            tervalin::log::info(state->target, [] { return "after"; });
        }
        std::fputs("parked: ended\n", stderr);
        std::fflush(stderr);
    });
    // Returns once the thread is attached and waiting (the attachment needs the lock).
    Py_BEGIN_ALLOW_THREADS;
    std::unique_lock lock(parked->mutex);
    parked->wake.wait(lock, [] { return parked->waiting; });
    Py_END_ALLOW_THREADS;
    Py_RETURN_NONE;
}

PyObject* kit_release_parked(PyObject*, PyObject* arg) {
    const int join = PyObject_IsTrue(arg);
    if (join < 0) return nullptr;
    if (parked == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no thread is parked");
        return nullptr;
    }
    release_parked();
    if (join) {
        Py_BEGIN_ALLOW_THREADS;
        join_parked();
        Py_END_ALLOW_THREADS;
    }
    Py_RETURN_NONE;
}

PyObject* kit_join_parked_at_exit(PyObject*, PyObject*) {
    if (parked == nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no thread is parked");
        return nullptr;
    }
    if (Py_AtExit([] {
            release_parked();
            join_parked();
            std::fputs("joined after finalizing\n", stderr);
        }) < 0) {
        PyErr_SetString(PyExc_RuntimeError, "no room for another exit function");
        return nullptr;
    }
    Py_RETURN_NONE;
}

PyObject* kit_gate_closed(PyObject*, PyObject*) {
    return PyBool_FromLong(tervalin::log::detail::exit_gate.closed.load());
}

PyObject* thread_state_count(PyObject*, PyObject*) {
    long count = 0;
    for (PyThreadState* state = PyInterpreterState_ThreadHead(PyInterpreterState_Get()); state != nullptr;
         state = PyThreadState_Next(state))
        ++count;
    return PyLong_FromLong(count);
}

PyObject* kit_attach_here(PyObject*, PyObject*) {
    const tervalin::log::ThreadAttachment attachment("here");
    return PyBool_FromLong(static_cast<bool>(attachment));
}

PyObject* kit_attached_rejects_while_locked(PyObject*, PyObject* args) {
    const char* target_text = nullptr;
    int records = 0;
    if (!PyArg_ParseTuple(args, "si", &target_text, &records)) return nullptr;
    if (!tervalin::log::bind()) return nullptr;
    const std::string target(target_text);
    std::mutex mutex;
    std::condition_variable changed;
    int stage = 0;  // 1: attached; 2: log; 3: logged; 4: end
    const auto advance = [&](int to) {
        std::lock_guard lock(mutex);
        stage = to;
        changed.notify_all();
    };
    const auto await_stage = [&](int at) {
        std::unique_lock lock(mutex);
        changed.wait(lock, [&] { return stage >= at; });
    };
    std::thread thread;
    Py_BEGIN_ALLOW_THREADS;
    thread = std::thread([&] {
        const tervalin::log::ThreadAttachment attachment;  // takes the lock once, released above
        advance(1);
        await_stage(2);
        for (int i = 0; i < records; ++i) tervalin::log::error(target, [] { return "rejected"; });
        advance(3);
        await_stage(4);  // the attachment's end takes the lock again
    });
    await_stage(1);
    Py_END_ALLOW_THREADS;
    // This thread holds the lock from here until the records are done.
    advance(2);
    bool finished = false;
    {
        std::unique_lock lock(mutex);
        finished = changed.wait_for(lock, std::chrono::seconds(10), [&] { return stage >= 3; });
    }
    Py_BEGIN_ALLOW_THREADS;
    await_stage(3);
    advance(4);
    thread.join();
    Py_END_ALLOW_THREADS;
    return PyBool_FromLong(finished);
}

PyObject* kit_log(PyObject*, PyObject* args) {
    const char* target = nullptr;
    const char* message = nullptr;
    if (!PyArg_ParseTuple(args, "ss", &target, &message)) return nullptr;
    tervalin::log::info(target, [message] { return message; });
    Py_RETURN_NONE;
}
