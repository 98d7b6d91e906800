// The per-target cache of Python loggers and the levels they accepted: a tree
// of immutable nodes. Readers walk the published tree inside a read section
// (read_sections.hpp): no retry, no shared counter written, and no lock but
// on a thread that could get no reader counter. A store
// builds a new tree that shares every node off the changed path, publishes it
// with one atomic pointer store, and frees the trees replaced so far whose
// read sections (those open when they were replaced) have all ended; a tree
// still being read waits for a later store. Only nodes on a replaced path are
// ever freed this way: the rest are shared with the newer tree.
#pragma once

#include "binding/ref.hpp"
#include "logbridge/facade.hpp"
#include "logbridge/read_sections.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace tervalin::log {

// References are released through release_ref, so a node may die on any thread.
struct CacheEntry {
    LevelFilter filter;
    Ref logger;
    Ref name;  // the logger's name as a str, so cached records need not build it
};

struct CacheNode;
using NodeRef = std::shared_ptr<const CacheNode>;

struct CacheNode {
    std::optional<CacheEntry> entry;
    std::map<std::string, NodeRef, std::less<>> children;
};

// Calls `visit` with each segment of `target` split at "::", empty segments
// included: "" is one empty segment, "a::" is "a" and "".
template <class Visit>
void for_each_segment(std::string_view target, Visit&& visit) {
    for (;;) {
        const std::size_t separator = target.find("::");
        if (separator == std::string_view::npos) {
            visit(target);
            return;
        }
        visit(target.substr(0, separator));
        target.remove_prefix(separator + 2);
    }
}

class LoggerCache {
public:
    LoggerCache();
    ~LoggerCache();
    LoggerCache(const LoggerCache&) = delete;
    LoggerCache& operator=(const LoggerCache&) = delete;

    // Calls `visit` with the node of `target`'s path ("a::b" is a, then b) as
    // the tree holds it, or with null, and returns its result. Takes no lock
    // and calls no Python; once the thread has its reader counter it never
    // waits (read_sections.hpp). The node is valid only inside `visit`;
    // copying the NodeRef keeps it beyond.
    template <class Visit>
    decltype(auto) read(std::string_view target, Visit&& visit) const {
        ReadSection section;
        // Sequentially consistent: ordered after the section's announcement
        // (read_sections.hpp says why that matters).
        const CacheNode* node = root_.load(std::memory_order_seq_cst);
        const NodeRef* found = nullptr;
        for_each_segment(target, [&](std::string_view segment) {
            if (node == nullptr) return;
            auto child = node->children.find(segment);
            found = child == node->children.end() ? nullptr : &child->second;
            node = found == nullptr ? nullptr : found->get();
        });
        return visit(found);
    }

    // A store in its two steps: build_store makes the new tree and holds the
    // writers' mutex until the tree is published (or the pending store is
    // dropped, which publishes nothing). Readers never take that mutex.
    class PendingStore {
    public:
        void publish() &&;

    private:
        friend class LoggerCache;
        PendingStore(LoggerCache& cache, NodeRef tree, std::unique_lock<std::mutex> lock) noexcept
            : cache_(&cache), tree_(std::move(tree)), lock_(std::move(lock)) {}

        LoggerCache* cache_;
        // Declared before the lock, so that an unpublished tree is dropped
        // after the mutex is given back: its references' finalisers may log.
        NodeRef tree_;
        std::unique_lock<std::mutex> lock_;
    };

    // The tree in which `target`'s node holds (filter, logger, name), built
    // but not yet published. Needs the interpreter lock, until published.
    [[nodiscard]] PendingStore build_store(std::string_view target, LevelFilter filter, PyObject* logger,
                                           PyObject* name);

    // Builds and publishes that tree at once. Stores are serialised by the
    // writers' mutex, so none is lost to another.
    void store(std::string_view target, LevelFilter filter, PyObject* logger, PyObject* name) {
        build_store(target, filter, logger, name).publish();
    }

    // Replaced trees not yet freed, because a reader may still be in them.
    [[nodiscard]] std::size_t retired_count() const;

private:
    struct Retired {
        NodeRef root;
        GracePeriod readers;
    };

    std::atomic<const CacheNode*> root_;  // what readers walk: current_
    mutable std::mutex writer_;           // the writers' mutex; guards what follows
    NodeRef current_;
    std::vector<Retired> retired_;
};

}  // namespace tervalin::log
