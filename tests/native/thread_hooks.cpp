#include "thread_hooks.hpp"

#include "allocation_count.hpp"

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

// A bridge over a cache of its own, so that a test's stores do not grow the
// module's cache.
struct PrivateBridge {
    std::shared_ptr<log::LoggerCache> cache = std::make_shared<log::LoggerCache>();
    std::optional<log::BridgeLogger> bridge;

    // Null with the exception pending when the bridge cannot be made.
    static std::unique_ptr<PrivateBridge> create() {
        Ref logging = Ref::steal(PyImport_ImportModule("logging"));
        std::optional<log::PythonNames> names = log::PythonNames::create();
        if (!logging || !names) return nullptr;
        auto own = std::make_unique<PrivateBridge>();
        own->bridge.emplace(std::move(logging), std::move(*names), own->cache);
        return own;
    }
};

}  // namespace

const tervalin::log::BridgeLogger* installed_bridge() {
    return dynamic_cast<const tervalin::log::BridgeLogger*>(&tervalin::log::logger());
}

tervalin::log::NodeRef lookup(const tervalin::log::LoggerCache& cache, std::string_view target) {
    return cache.read(target, [](const tervalin::log::NodeRef* node) {
        return node != nullptr ? *node : tervalin::log::NodeRef();
    });
}

PyObject* parked_store(PyObject*, PyObject* args) {
    int threads = 0;
    int records = 0;
    PyObject* logger = nullptr;
    if (!PyArg_ParseTuple(args, "iiO", &threads, &records, &logger)) return nullptr;
    std::unique_ptr<PrivateBridge> own = PrivateBridge::create();
    Ref name = Ref::steal(PyUnicode_FromString("park"));
    if (!own || !name) return nullptr;
    // The cached filter off rejects every record of this target.
    const std::string rejected = "park::rejected";
    const std::string fresh = "park::stored";
    own->cache->store(rejected, log::LevelFilter::off, logger, name.get());
    const auto message = [] { return std::string_view("rejected"); };
    const log::Message text(message);
    const log::Record record{log::Level::error, rejected, text, std::nullopt, std::nullopt};

    log::LoggerCache::PendingStore pending = own->cache->build_store(fresh, log::LevelFilter::debug, logger, name.get());
    std::atomic<long> completed{0};
    std::atomic<int> done{0};
    std::atomic<bool> fresh_seen{false};
    std::vector<std::thread> readers;
    for (int t = 0; t < threads; ++t) {
        readers.emplace_back([&] {
            for (int i = 0; i < records; ++i) {
                own->bridge->log(record);
                completed.fetch_add(1, std::memory_order_relaxed);
            }
            if (lookup(*own->cache, fresh)) fresh_seen.store(true);
            done.fetch_add(1);
        });
    }
    // The readers run to completion, or ten seconds pass.
    const auto deadline = Clock::now() + std::chrono::seconds(10);
    while (done.load() < threads && Clock::now() < deadline) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    const bool finished = done.load() == threads;
    const long completed_while_parked = completed.load();
    std::move(pending).publish();
    // Readers still running (only when something is wrong) are joined after the store.
    Py_BEGIN_ALLOW_THREADS;
    for (std::thread& reader : readers) reader.join();
    Py_END_ALLOW_THREADS;
    const bool cached_after = static_cast<bool>(lookup(*own->cache, fresh));
    return Py_BuildValue("lOOO", completed_while_parked, finished ? Py_True : Py_False,
                         fresh_seen.load() ? Py_True : Py_False, cached_after ? Py_True : Py_False);
}

namespace {

// Threads parked inside read sections of the installed cache.
struct HeldSections {
    std::atomic<bool> release{false};
    std::atomic<int> inside{0};
    std::vector<std::thread> threads;
};
HeldSections* held = nullptr;

}  // namespace

PyObject* hold_read_sections(PyObject*, PyObject* arg) {
    const long count = PyLong_AsLong(arg);
    if (count == -1 && PyErr_Occurred()) return nullptr;
    const log::BridgeLogger* bridge = installed_bridge();
    if (bridge == nullptr || held != nullptr) {
        PyErr_SetString(PyExc_RuntimeError, "no bridge installed, or sections held already");
        return nullptr;
    }
    held = new HeldSections;
    for (long t = 0; t < count; ++t) {
        held->threads.emplace_back([bridge, state = held] {
            bridge->cache().read("held", [state](const log::NodeRef*) {
                state->inside.fetch_add(1);
                while (!state->release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
                return 0;
            });
        });
    }
    while (held->inside.load() < count) std::this_thread::sleep_for(std::chrono::milliseconds(1));
    Py_RETURN_NONE;
}

PyObject* release_read_sections(PyObject*, PyObject*) {
    if (held == nullptr) Py_RETURN_NONE;
    held->release.store(true);
    Py_BEGIN_ALLOW_THREADS;
    for (std::thread& thread : held->threads) thread.join();
    Py_END_ALLOW_THREADS;
    delete held;
    held = nullptr;
    Py_RETURN_NONE;
}

PyObject* read_without_counter(PyObject*, PyObject* logger) {
    Ref name = Ref::steal(PyUnicode_FromString("counterless"));
    if (!name) return nullptr;
    log::LoggerCache cache;
    cache.store("held", log::LevelFilter::warn, logger, name.get());
    const std::size_t owned_before = log::owned_reader_counters();

    // Each holder reads once with its native allocations failing, and stays
    // (keeping its counter) if it got one. The first that got none ends the
    // search: every counter is owned, and no block can be added.
    std::atomic<bool> release{false};
    std::vector<std::thread> holders;
    bool exhausted = false;
    constexpr int most_holders = 4096;
    while (!exhausted && static_cast<int>(holders.size()) < most_holders) {
        std::atomic<int> outcome{0};  // 1: has a counter, 2: has none
        std::thread thread([&] {
            fail_native_allocations(true);
            cache.read("held", [](const log::NodeRef*) { return 0; });
            fail_native_allocations(false);
            const bool counted = log::detail::own_reader_counter != nullptr;
            outcome.store(counted ? 1 : 2);
            if (counted)
                while (!release.load()) std::this_thread::sleep_for(std::chrono::milliseconds(1));
        });
        while (outcome.load() == 0) std::this_thread::yield();
        if (outcome.load() == 2) {
            thread.join();
            exhausted = true;
        } else {
            holders.push_back(std::move(thread));
        }
    }

    bool counterless = false;
    bool found = false;
    std::atomic<bool> inside{false};
    std::atomic<bool> left{false};
    bool waited = false;
    if (exhausted) {
        std::thread reader([&] {
            fail_native_allocations(true);
            cache.read("held", [&](const log::NodeRef* outer) {
                // A nested section is part of this one (it must not wait for it).
                cache.read("held", [&](const log::NodeRef* inner) { found = outer != nullptr && inner == outer; });
                counterless = log::detail::own_reader_counter == nullptr;
                inside.store(true);
                std::this_thread::sleep_for(std::chrono::milliseconds(100));
                // Still the tree this section entered, which the store below replaced.
                found = found && (*outer)->entry && (*outer)->entry->filter == log::LevelFilter::warn;
                left.store(true);
                return 0;
            });
            fail_native_allocations(false);
        });
        while (!inside.load()) std::this_thread::yield();
        cache.store("held", log::LevelFilter::error, logger, name.get());
        waited = left.load();
        reader.join();
    }
    release.store(true);
    for (std::thread& thread : holders) thread.join();
    const auto owned_after = static_cast<Py_ssize_t>(log::owned_reader_counters() - owned_before);
    return Py_BuildValue("{s:n,s:O,s:O,s:O,s:O,s:n}", "holders", static_cast<Py_ssize_t>(holders.size()),
                         "exhausted", exhausted ? Py_True : Py_False, "counterless", counterless ? Py_True : Py_False,
                         "found", found ? Py_True : Py_False, "waited", waited ? Py_True : Py_False, "owned_after",
                         owned_after);
}

namespace {

long long thread_cpu_ns() {
    timespec now{};
    clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
    return static_cast<long long>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

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
    std::unique_ptr<PrivateBridge> bridged = PrivateBridge::create();
    Ref name = Ref::steal(PyUnicode_FromString("bench.rejected"));
    if (!bridged || !name) return nullptr;
    PrivateBridge& own = *bridged;
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
