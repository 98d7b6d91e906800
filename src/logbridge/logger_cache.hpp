// The per-target cache of Python loggers and the levels they accepted: a tree
// of immutable nodes, read without any lock and replaced by compare-and-swap.
#pragma once

#include "binding/ref.hpp"
#include "logbridge/facade.hpp"

#include <atomic>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace tervalin::log {

// References are released through release_ref, so a node may die on any thread.
struct CacheEntry {
    LevelFilter filter;
    Ref logger;
    Ref name;  // the logger's name as a str, so cached records need not build it
};

struct CacheNode {
    std::optional<CacheEntry> entry;
    std::map<std::string, std::shared_ptr<const CacheNode>, std::less<>> children;
};

using NodeRef = std::shared_ptr<const CacheNode>;

class LoggerCache {
public:
    LoggerCache();

    // The node for `target`'s path ("a::b" is a, then b), or null. Takes no
    // lock and calls no Python; the node stays valid while it is held.
    [[nodiscard]] NodeRef lookup(std::string_view target) const;

    // Publishes a new tree in which `target`'s node holds (filter, logger,
    // name). Needs the interpreter lock. Returns false, storing nothing, when
    // another tree was published since this store began: no retry.
    bool store(std::string_view target, LevelFilter filter, PyObject* logger, PyObject* name);

    // The current tree, for inspection.
    [[nodiscard]] NodeRef root() const { return root_.load(std::memory_order_acquire); }

private:
    std::atomic<NodeRef> root_;
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

}  // namespace tervalin::log
