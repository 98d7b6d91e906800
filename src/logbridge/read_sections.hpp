// Read sections over a published pointer, and grace periods that tell a
// writer when no reader can still hold what it unpublished.
//
// Every thread that reads owns one slot holding a sequence number, odd while
// the thread is inside a read section. Entering a section is one store to the
// thread's own slot; leaving it is another. A reader never waits for anyone,
// never retries and never writes a cache line that another reader writes.
//
// Why a writer may free what it unpublished once each section it saw open has
// moved on: the reader stores its odd number and then loads the published
// pointer; the writer stores the new pointer and then loads the reader's
// number, all four sequentially consistent. Either the writer sees the odd
// number (and waits for it to change), or the reader's load comes after the
// writer's store in the single total order and finds the new pointer. The
// reader leaves with a release store, which the writer's acquire load of a
// later number synchronises with, so everything the reader did with the old
// pointer happens before the writer frees it.
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tervalin::log {

struct ReaderSlot {
    alignas(64) std::atomic<std::uint64_t> sequence{0};  // odd inside a read section
    std::atomic<bool> owned{false};
};

namespace detail {
// The calling thread's slot, once it has read.
extern constinit thread_local ReaderSlot* own_reader_slot;
// Claims a slot for the calling thread, released when the thread ends; null
// when there is no memory for one (or no thread-specific key).
[[gnu::cold]] ReaderSlot* claim_reader_slot() noexcept;
// A thread without a slot reads holding this mutex instead, and writers pass
// through it before they count open sections. Only a failed allocation leads
// here; no thread that has its slot ever touches it.
[[gnu::cold]] void lock_slotless() noexcept;
[[gnu::cold]] void unlock_slotless() noexcept;
}  // namespace detail

// How many reader slots threads own now (for tests: threads that have ended
// own none).
[[nodiscard]] std::size_t owned_reader_slots() noexcept;

// One read section of the calling thread. Nested sections of one thread are
// part of the outermost one.
class ReadSection {
public:
    ReadSection() noexcept {
        ReaderSlot* slot = detail::own_reader_slot;
        if (slot == nullptr) [[unlikely]] {
            slot = detail::claim_reader_slot();
            if (slot == nullptr) {
                detail::lock_slotless();
                slotless_ = true;
                return;
            }
        }
        const std::uint64_t sequence = slot->sequence.load(std::memory_order_relaxed);  // only this thread writes it
        if (sequence % 2 == 1) return;  // nested
        slot->sequence.store(sequence + 1, std::memory_order_seq_cst);
        slot_ = slot;
    }
    ~ReadSection() {
        if (slot_ != nullptr)
            slot_->sequence.store(slot_->sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        else if (slotless_) [[unlikely]]
            detail::unlock_slotless();
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    ReaderSlot* slot_ = nullptr;
    bool slotless_ = false;
};

// The read sections open at one moment, taken by a writer right after it
// unpublished something (with a sequentially consistent store).
class GracePeriod {
public:
    // Records every section open now (after waiting out slotless readers).
    // Without memory for the record it waits for those sections to end.
    [[nodiscard]] static GracePeriod begin() noexcept;
    // Whether every recorded section has ended.
    [[nodiscard]] bool passed();

private:
    std::vector<std::pair<const ReaderSlot*, std::uint64_t>> open_;
};

}  // namespace tervalin::log
