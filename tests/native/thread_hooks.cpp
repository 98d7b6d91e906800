#include "thread_hooks.hpp"

#include "binding/boundary.hpp"
#include "logbridge/bridge_logger.hpp"
#include "logbridge/native_log.hpp"

#include <tervalin/native_fault.hpp>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <ctime>
#include <cstdio>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace tervalin;
using Clock = std::chrono::steady_clock;

void emit_error(std::string_view target) {
    log::emit(log::Level::error, target, log::Site{}, log::Message([] { return std::string_view("rejected"); }));
}

// What the parked writer and its readers share; one parked store at a time.
struct ParkedStore {
    std::string rejected_target;
    std::string fresh_target;
    int threads = 0;
    int records = 0;
    std::atomic<long> completed{0};
    bool finished_while_parked = false;
    std::atomic<bool> fresh_seen_while_parked{false};
    std::vector<std::thread> readers;
};
ParkedStore* parked = nullptr;

// Runs on the writer, between building its tree and publishing it: the
// readers run to completion, or ten seconds pass.
void park_writer() {
    ParkedStore& state = *parked;
    const log::LoggerCache& cache = installed_bridge()->cache();
    std::atomic<int> done{0};
    for (int t = 0; t < state.threads; ++t) {
        state.readers.emplace_back([&state, &cache, &done] {
            for (int i = 0; i < state.records; ++i) {
                emit_error(state.rejected_target);
                state.completed.fetch_add(1, std::memory_order_relaxed);
            }
            if (cache.lookup(state.fresh_target)) state.fresh_seen_while_parked.store(true);
            done.fetch_add(1);
        });
    }
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done.load() < state.threads && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    state.finished_while_parked = done.load() == state.threads;
    // Readers still running (only when something is wrong) are joined after the store.
    if (state.finished_while_parked)
        for (std::thread& reader : state.readers) reader.join();
}

}  // namespace

const tervalin::log::BridgeLogger* installed_bridge() {
    return dynamic_cast<const tervalin::log::BridgeLogger*>(&tervalin::log::logger());
}

PyObject* parked_store(PyObject*, PyObject* args) {
    const char* rejected_target = nullptr;
    const char* fresh_target = nullptr;
    ParkedStore state;
    if (!PyArg_ParseTuple(args, "ssii", &rejected_target, &fresh_target, &state.threads, &state.records))
        return nullptr;
    state.rejected_target = rejected_target;
    state.fresh_target = fresh_target;
    parked = &state;
    log::testing::before_publish.store(park_writer);
    log::emit(log::Level::info, state.fresh_target, log::Site{}, log::Message([] { return std::string_view("stored"); }));
    log::testing::before_publish.store(nullptr);
    parked = nullptr;
    Py_BEGIN_ALLOW_THREADS;
    for (std::thread& reader : state.readers)
        if (reader.joinable()) reader.join();
    Py_END_ALLOW_THREADS;
    const bool cached_after = static_cast<bool>(installed_bridge()->cache().lookup(state.fresh_target));
    return Py_BuildValue("lOOO", state.completed.load(), state.finished_while_parked ? Py_True : Py_False,
                         state.fresh_seen_while_parked.load() ? Py_True : Py_False, cached_after ? Py_True : Py_False);
}

namespace {

long long thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

// A bridge over a cache of its own, so that the benchmark's stores do not
// grow the module's cache.
struct PrivateBridge {
    std::shared_ptr<log::LoggerCache> cache = std::make_shared<log::LoggerCache>();
    std::optional<log::BridgeLogger> bridge;
};

}  // namespace

PyObject* reject_under_stores(PyObject*, PyObject* args) {
    int thread_count = 0;
    int records = 0;
    int target_count = 0;
    PyObject* logger = nullptr;
    if (!PyArg_ParseTuple(args, "iiiO", &thread_count, &records, &target_count, &logger)) return nullptr;
    if (thread_count < 1 || records < 1 || target_count < 1) {
        PyErr_SetString(PyExc_ValueError, "threads, records and targets must be positive");
        return nullptr;
    }
    Ref logging = Ref::steal(PyImport_ImportModule("logging"));
    std::optional<log::PythonNames> names = log::PythonNames::create();
    Ref name = Ref::steal(PyUnicode_FromString("bench.rejected"));
    if (!logging || !names || !name) return nullptr;
    PrivateBridge own;
    own.bridge.emplace(std::move(logging), std::move(*names), own.cache);
    // The cached filter off rejects every record of this target.
    const std::string rejected = "bench::rejected";
    own.cache->store(rejected, log::LevelFilter::off, logger, name.get());
    std::vector<std::string> targets;
    for (int i = 0; i < target_count; ++i) targets.push_back("bench::stored::" + std::to_string(i));

    std::atomic<bool> stop{false};
    std::atomic<bool> writing{false};  // readers start timing once stores run
    long stores = 0;
    std::size_t most_retired = 0;
    std::size_t retired_after = 0;
    std::vector<std::vector<std::uint32_t>> times(static_cast<std::size_t>(thread_count));
    long long clock_ns = 0;
    std::atomic<long long> cpu_ns{0};
    const auto message = [] { return std::string_view("rejected"); };
    const log::Message text(message);
    const log::Record record{log::Level::error, rejected, text, std::nullopt, std::nullopt};

    Py_BEGIN_ALLOW_THREADS;
    std::thread writer([&] {
        LockGuard lock = acquire_lock();
        for (std::size_t i = 0; !stop.load(std::memory_order_relaxed); ++i) {
            own.cache->store(targets[i % targets.size()], log::LevelFilter::debug, logger, name.get());
            ++stores;
            most_retired = std::max(most_retired, own.cache->retired_count());
            writing.store(true);
        }
        // With every reader gone, this store frees every tree replaced before it.
        own.cache->store(targets.front(), log::LevelFilter::debug, logger, name.get());
        retired_after = own.cache->retired_count();
    });
    std::vector<std::thread> readers;
    for (int t = 0; t < thread_count; ++t) {
        readers.emplace_back([&, t] {
            std::vector<std::uint32_t>& mine = times[static_cast<std::size_t>(t)];
            mine.resize(static_cast<std::size_t>(records));
            while (!writing.load()) std::this_thread::yield();
            const long long cpu_before = thread_cpu_ns();
            auto before = Clock::now();
            for (std::uint32_t& time : mine) {
                own.bridge->log(record);
                const auto after = Clock::now();
                time = static_cast<std::uint32_t>(std::min<long long>(
                    std::chrono::duration_cast<std::chrono::nanoseconds>(after - before).count(), UINT32_MAX));
                before = after;
            }
            cpu_ns.fetch_add(thread_cpu_ns() - cpu_before);
        });
    }
    for (std::thread& reader : readers) reader.join();
    stop.store(true);
    writer.join();
    // What one reading of the clock adds to each record's time.
    constexpr int clock_reads = 100000;
    const auto clock_start = Clock::now();
    for (int i = 0; i < clock_reads; ++i) (void)Clock::now();
    clock_ns = std::chrono::duration_cast<std::chrono::nanoseconds>(Clock::now() - clock_start).count() / clock_reads;
    Py_END_ALLOW_THREADS;

    std::vector<std::uint32_t> all;
    for (const auto& mine : times) all.insert(all.end(), mine.begin(), mine.end());
    std::sort(all.begin(), all.end());
    double total = 0;
    for (std::uint32_t time : all) total += time;
    const std::size_t p999 = std::min(all.size() - 1, all.size() * 999 / 1000);
    return Py_BuildValue("{s:d,s:d,s:I,s:I,s:I,s:L,s:l,s:n,s:n}", "mean_ns", total / static_cast<double>(all.size()),
                         "cpu_ns", static_cast<double>(cpu_ns.load()) / static_cast<double>(all.size()), "median_ns",
                         all[all.size() / 2], "p999_ns", all[p999], "max_ns", all.back(), "clock_ns", clock_ns,
                         "stores", stores, "most_retired", static_cast<Py_ssize_t>(most_retired), "retired_after",
                         static_cast<Py_ssize_t>(retired_after));
}

namespace {

std::string after_finalize_target;

void log_from_here(const char* who) {
    try {
        log::emit(log::Level::info, after_finalize_target, log::Site{},
                  log::Message([] { return std::string_view("logged after finalizing"); }));
        std::fprintf(stderr, "after finalizing: %s returned\n", who);
    } catch (...) {
        std::fprintf(stderr, "after finalizing: %s threw\n", who);
    }
}

void after_finalize() {
    log_from_here("main thread");
    std::thread native([] { log_from_here("native thread"); });
    native.join();
    try {
        LockGuard lock = acquire_lock();
        std::fputs("after finalizing: acquire_lock returned\n", stderr);
    } catch (const NativeFault& fault) {
        std::fprintf(stderr, "after finalizing: acquire_lock faulted: %s\n", fault.message().c_str());
    }
    std::fflush(stderr);
}

}  // namespace

PyObject* log_after_finalize(PyObject*, PyObject* arg) {
    const char* target = PyUnicode_AsUTF8(arg);
    if (target == nullptr) return nullptr;
    after_finalize_target = target;
    if (Py_AtExit(after_finalize) < 0) {
        PyErr_SetString(PyExc_RuntimeError, "no room for another exit function");
        return nullptr;
    }
    Py_RETURN_NONE;
}
