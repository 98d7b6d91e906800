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

// Slots live in blocks chained from a static first block. Blocks are never
// freed: a slot is handed back when its thread ends and claimed again by a
// later thread, so the chain is as long as the most threads that ever read
// at once need.
struct SlotBlock {
    std::array<ReaderSlot, 64> slots;
    std::atomic<SlotBlock*> next{nullptr};
};

constinit SlotBlock first_block;

// Hands a thread's slot back when the thread ends; it is outside any read
// section then, so the slot's number is even. A POSIX thread-specific key
// rather than a thread_local object with a destructor: that would need
// __cxa_thread_atexit_impl, which glibc has only since 2.18, and the module
// loads on glibc 2.17.
void hand_back(void* slot) noexcept {
    detail::own_reader_slot = nullptr;
    static_cast<ReaderSlot*>(slot)->owned.store(false, std::memory_order_release);
}

// The key, or nullopt when none could be created (readers then go without a
// slot).
const std::optional<pthread_key_t>& slot_key() noexcept {
    static const std::optional<pthread_key_t> key = []() -> std::optional<pthread_key_t> {
        pthread_key_t created{};
        if (pthread_key_create(&created, hand_back) != 0) return std::nullopt;
        return created;
    }();
    return key;
}

// Each slot is tried once and a full block leads to the next one, so the
// scan is bounded by the chain's length; a failed exchange means another
// thread took that slot, not that this one has to wait for it.
ReaderSlot* take_free_slot() noexcept {
    for (SlotBlock* block = &first_block;;) {
        for (ReaderSlot& slot : block->slots) {
            if (!slot.owned.load(std::memory_order_relaxed) &&
                !slot.owned.exchange(true, std::memory_order_acquire))
                return &slot;
        }
        SlotBlock* next = block->next.load(std::memory_order_acquire);
        if (next == nullptr) {
            auto* grown = new (std::nothrow) SlotBlock;
            if (grown == nullptr) return nullptr;
            // Another thread may have chained a block first: then that one is used.
            if (block->next.compare_exchange_strong(next, grown, std::memory_order_acq_rel))
                next = grown;
            else
                delete grown;
        }
        block = next;
    }
}

// Recursive, as read sections of one thread may nest.
std::recursive_mutex slotless_readers;

}  // namespace

namespace detail {

constinit thread_local ReaderSlot* own_reader_slot = nullptr;

ReaderSlot* claim_reader_slot() noexcept {
    const std::optional<pthread_key_t>& key = slot_key();
    if (!key) return nullptr;
    ReaderSlot* slot = take_free_slot();
    if (slot == nullptr) return nullptr;
    if (pthread_setspecific(*key, slot) != 0) {
        slot->owned.store(false, std::memory_order_release);
        return nullptr;
    }
    own_reader_slot = slot;
    return slot;
}

void lock_slotless() noexcept { slotless_readers.lock(); }
void unlock_slotless() noexcept { slotless_readers.unlock(); }

}  // namespace detail

std::size_t owned_reader_slots() noexcept {
    std::size_t owned = 0;
    for (const SlotBlock* block = &first_block; block != nullptr; block = block->next.load(std::memory_order_acquire))
        for (const ReaderSlot& slot : block->slots) owned += slot.owned.load(std::memory_order_acquire) ? 1 : 0;
    return owned;
}

GracePeriod GracePeriod::begin() noexcept {
    // A slotless reader that holds the mutex now may hold what was just
    // unpublished: wait it out. One that takes the mutex later sees the new
    // pointer, its lock synchronising with this unlock.
    detail::lock_slotless();
    detail::unlock_slotless();
    GracePeriod period;
    bool recorded = true;
    for (const SlotBlock* block = &first_block; block != nullptr; block = block->next.load(std::memory_order_acquire)) {
        for (const ReaderSlot& slot : block->slots) {
            const std::uint64_t sequence = slot.sequence.load(std::memory_order_seq_cst);
            if (sequence % 2 == 0) continue;
            try {
                if (recorded) period.open_.emplace_back(&slot, sequence);
            } catch (...) {
                recorded = false;
            }
            if (!recorded) {
                // Sections are short and never wait: a writer may wait for them.
                while (slot.sequence.load(std::memory_order_acquire) == sequence) std::this_thread::yield();
            }
        }
    }
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
