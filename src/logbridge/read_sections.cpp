#include "logbridge/read_sections.hpp"

#include <pthread.h>

#include <array>
#include <mutex>
#include <new>
#include <optional>
#include <thread>

// glibc 2.34 moved the thread-specific key functions into libc under a new
// symbol version. Built against such a glibc, the module still binds to the
// versions every glibc since 2.17 provides (libc keeps them for old
// binaries), so that it loads wherever the wheel's platform tag says.
#if defined(__GLIBC__) && __GLIBC_PREREQ(2, 34)
#if defined(__x86_64__)
#define TERVALIN_GLIBC_BASELINE "GLIBC_2.2.5"
#elif defined(__aarch64__)
#define TERVALIN_GLIBC_BASELINE "GLIBC_2.17"
#endif
#ifdef TERVALIN_GLIBC_BASELINE
__asm__(".symver pthread_key_create, pthread_key_create@" TERVALIN_GLIBC_BASELINE);
__asm__(".symver pthread_setspecific, pthread_setspecific@" TERVALIN_GLIBC_BASELINE);
#endif
#endif

namespace tervalin::log {
namespace {

// Counters live in blocks chained from a static first block. Blocks are
// never freed: a counter is handed back when its thread ends and claimed
// again by a later thread, so the chain is as long as the most threads that
// ever read at once need. Every load of `next` and the chaining are
// sequentially consistent (read_sections.hpp says why).
struct CounterBlock {
    std::array<ReaderCounter, 64> counters;
    std::atomic<CounterBlock*> next{nullptr};
};

constinit CounterBlock first_block;

template <class Visit>
void for_each_counter(Visit&& visit) {
    for (CounterBlock* block = &first_block; block != nullptr; block = block->next.load(std::memory_order_seq_cst))
        for (ReaderCounter& counter : block->counters) visit(counter);
}

// Hands a thread's counter back when the thread ends; it is outside any read
// section then, so the counter's number is even. A POSIX thread-specific key
// rather than a thread_local object with a destructor: that would need
// __cxa_thread_atexit_impl, which glibc has only since 2.18, and the module
// loads on glibc 2.17.
void hand_back(void* counter) noexcept {
    detail::own_reader_counter = nullptr;
    static_cast<ReaderCounter*>(counter)->owned.store(false, std::memory_order_release);
}

// The key, or nullopt when none could be created (readers then go without a
// counter).
const std::optional<pthread_key_t>& counter_key() noexcept {
    static const std::optional<pthread_key_t> key = []() -> std::optional<pthread_key_t> {
        pthread_key_t created{};
        if (pthread_key_create(&created, hand_back) != 0) return std::nullopt;
        return created;
    }();
    return key;
}

// Each counter is tried once and a full block leads to the next one, so the
// scan is bounded by the chain's length; a failed exchange means another
// thread took that counter, not that this one has to wait for it.
ReaderCounter* take_free_counter() noexcept {
    for (CounterBlock* block = &first_block;;) {
        for (ReaderCounter& counter : block->counters) {
            if (!counter.owned.load(std::memory_order_relaxed) &&
                !counter.owned.exchange(true, std::memory_order_acquire))
                return &counter;
        }
        CounterBlock* next = block->next.load(std::memory_order_seq_cst);
        if (next == nullptr) {
            auto* grown = new (std::nothrow) CounterBlock;
            if (grown == nullptr) return nullptr;
            // Another thread may have chained a block first: then that one is used.
            if (block->next.compare_exchange_strong(next, grown, std::memory_order_seq_cst))
                next = grown;
            else
                delete grown;
        }
        block = next;
    }
}

// Held by the outermost section of each thread without a counter; the depth
// counts that thread's nested sections.
std::mutex counterless_readers;
constinit thread_local unsigned counterless_depth = 0;

// fork() copies only the calling thread: the child must not wait for the
// sections of threads it does not have. The mutex is taken across the fork,
// so that the child does not inherit it held by a reader that is not there;
// the calling thread is in no read section (sections run no code that forks),
// and sections never wait while they hold it. In the child every counter but
// the calling thread's is left: an open section of a thread that is gone
// counts as ended, and its counter is free for the child's threads.
void before_fork() noexcept { counterless_readers.lock(); }
void after_fork_in_parent() noexcept { counterless_readers.unlock(); }
void after_fork_in_child() noexcept {
    counterless_readers.unlock();
    for_each_counter([](ReaderCounter& counter) {
        if (&counter == detail::own_reader_counter) return;
        const std::uint64_t sequence = counter.sequence.load(std::memory_order_relaxed);
        if (sequence % 2 == 1) counter.sequence.store(sequence + 1, std::memory_order_relaxed);
        counter.owned.store(false, std::memory_order_relaxed);
    });
}

// Registered when the library is loaded, before any thread can read. Without
// memory for the registration a child may keep waiting for sections of
// threads it does not have: then it frees no replaced tree.
[[maybe_unused]] const int fork_handlers = pthread_atfork(before_fork, after_fork_in_parent, after_fork_in_child);

}  // namespace

namespace detail {

constinit thread_local ReaderCounter* own_reader_counter = nullptr;

ReaderCounter* claim_reader_counter() noexcept {
    const std::optional<pthread_key_t>& key = counter_key();
    if (!key) return nullptr;
    ReaderCounter* counter = take_free_counter();
    if (counter == nullptr) return nullptr;
    if (pthread_setspecific(*key, counter) != 0) {
        counter->owned.store(false, std::memory_order_release);
        return nullptr;
    }
    own_reader_counter = counter;
    return counter;
}

void enter_counterless() noexcept {
    if (counterless_depth++ == 0) counterless_readers.lock();
}
void leave_counterless() noexcept {
    if (--counterless_depth == 0) counterless_readers.unlock();
}

}  // namespace detail

std::size_t owned_reader_counters() noexcept {
    std::size_t owned = 0;
    for_each_counter([&](const ReaderCounter& counter) { owned += counter.owned.load(std::memory_order_acquire) ? 1 : 0; });
    return owned;
}

GracePeriod GracePeriod::begin() noexcept {
    // A counterless reader that holds the mutex now may hold what was just
    // unpublished: wait it out. One that takes the mutex later sees the new
    // pointer, its lock synchronising with this unlock.
    counterless_readers.lock();
    counterless_readers.unlock();
    GracePeriod period;
    bool recorded = true;
    for_each_counter([&](const ReaderCounter& counter) {
        const std::uint64_t sequence = counter.sequence.load(std::memory_order_seq_cst);
        if (sequence % 2 == 0) return;
        try {
            if (recorded) period.open_.emplace_back(&counter, sequence);
        } catch (...) {
            recorded = false;
        }
        if (!recorded) {
            // Sections are short and never wait: a writer may wait for them.
            while (counter.sequence.load(std::memory_order_acquire) == sequence) std::this_thread::yield();
        }
    });
    if (!recorded) {
        while (!period.passed()) std::this_thread::yield();
    }
    return period;
}

bool GracePeriod::passed() {
    std::erase_if(open_, [](const auto& open) {
        return open.first->sequence.load(std::memory_order_acquire) != open.second;
    });
    return open_.empty();
}

}  // namespace tervalin::log
