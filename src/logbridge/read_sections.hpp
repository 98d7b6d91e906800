// Read sections over a published pointer, and grace periods that tell a
// writer when no reader can still hold what it unpublished.
//
// Every thread that reads owns one reader counter holding a sequence number,
// odd while the thread is inside a read section. Entering a section is one
// store to the thread's own counter; leaving it is another. A reader that
// has its counter never waits, never retries and never writes a cache line
// that another reader writes. A thread's first section claims the counter,
// which may allocate a block of counters (and so wait for the allocator); a
// thread that gets none reads under a mutex instead.
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
//
// A counter in a block chained after the writer walked the chain is one the
// writer never loads. Its reader finds the new pointer all the same: the
// chaining compare-and-swap and every load of a block's `next` are
// sequentially consistent too. The writer's load that found no next block
// reads a value the chaining replaced, so it precedes the chaining in the
// total order, and the writer's store of the new pointer precedes that load.
// A reader reaches the new block through the chaining itself or through a
// load that reads it, either of which precedes its load of the pointer. So
// the writer's store precedes the reader's load, which therefore finds the
// new pointer or a later one. (Acquire loads and an acq_rel exchange would
// order nothing between the writer's store and the reader's load.)
#pragma once

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace tervalin::log {

struct ReaderCounter {
    alignas(64) std::atomic<std::uint64_t> sequence{0};  // odd inside a read section
    std::atomic<bool> owned{false};
};

namespace detail {
// The calling thread's counter, once it has read.
extern constinit thread_local ReaderCounter* own_reader_counter;
// Claims a counter for the calling thread, handed back when the thread ends;
// null when there is no memory for one (or no thread-specific key).
[[gnu::cold]] ReaderCounter* claim_reader_counter() noexcept;
// A thread without a counter reads holding a mutex instead (its outermost
// section takes it), and writers pass through it before they count open
// sections. Only a failed allocation leads here; no thread that has its
// counter ever touches it.
[[gnu::cold]] void enter_counterless() noexcept;
[[gnu::cold]] void leave_counterless() noexcept;
}  // namespace detail

// How many reader counters threads own now (for tests: threads that have
// ended own none).
[[nodiscard]] std::size_t owned_reader_counters() noexcept;

// One read section of the calling thread. Nested sections of one thread are
// part of the outermost one.
class ReadSection {
public:
    ReadSection() noexcept {
        ReaderCounter* counter = detail::own_reader_counter;
        if (counter == nullptr) [[unlikely]] {
            counter = detail::claim_reader_counter();
            if (counter == nullptr) {
                detail::enter_counterless();
                counterless_ = true;
                return;
            }
        }
        const std::uint64_t sequence = counter->sequence.load(std::memory_order_relaxed);  // only this thread writes it
        if (sequence % 2 == 1) return;  // nested
        counter->sequence.store(sequence + 1, std::memory_order_seq_cst);
        counter_ = counter;
    }
    ~ReadSection() {
        if (counter_ != nullptr)
            counter_->sequence.store(counter_->sequence.load(std::memory_order_relaxed) + 1, std::memory_order_release);
        else if (counterless_) [[unlikely]]
            detail::leave_counterless();
    }
    ReadSection(const ReadSection&) = delete;
    ReadSection& operator=(const ReadSection&) = delete;

private:
    ReaderCounter* counter_ = nullptr;
    bool counterless_ = false;
};

// The read sections open at one moment, taken by a writer right after it
// unpublished something (with a sequentially consistent store).
class GracePeriod {
public:
    // Records every section open now (after waiting out counterless readers).
    // Without memory for the record it waits for those sections to end.
    [[nodiscard]] static GracePeriod begin() noexcept;
    // Whether every recorded section has ended.
    [[nodiscard]] bool passed();

private:
    std::vector<std::pair<const ReaderCounter*, std::uint64_t>> open_;
};

}  // namespace tervalin::log
