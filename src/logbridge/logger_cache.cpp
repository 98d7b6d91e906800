#include "logbridge/logger_cache.hpp"

#include <span>
#include <vector>

namespace tervalin::log {

LoggerCache::LoggerCache() : root_(std::make_shared<const CacheNode>()) {}

NodeRef LoggerCache::lookup(std::string_view target) const {
    NodeRef snapshot = root_.load(std::memory_order_acquire);
    const CacheNode* node = snapshot.get();
    for_each_segment(target, [&](std::string_view segment) {
        if (node == nullptr) return;
        auto child = node->children.find(segment);
        node = child == node->children.end() ? nullptr : child->second.get();
    });
    if (node == nullptr) return nullptr;
    // The node is handed out through the snapshot's own count: no further
    // atomic updates on this path, and the node lives as long as the handle.
    return NodeRef(std::move(snapshot), node);
}

namespace {

// A copy of `original` (or an empty node) whose subtree along `path` is
// rebuilt with `entry` at its end; nodes off the path are shared.
NodeRef rebuild(const CacheNode* original, std::span<const std::string_view> path, LevelFilter filter,
                PyObject* logger, PyObject* name) {
    auto copy = std::make_shared<CacheNode>();
    if (original != nullptr) {
        if (const auto& entry = original->entry)
            copy->entry = CacheEntry{entry->filter, Ref::borrow(entry->logger.get()), Ref::borrow(entry->name.get())};
        copy->children = original->children;
    }
    if (path.empty()) {
        copy->entry = CacheEntry{filter, Ref::borrow(logger), Ref::borrow(name)};
        return copy;
    }
    const CacheNode* child = nullptr;
    if (original != nullptr) {
        auto found = original->children.find(path.front());
        if (found != original->children.end()) child = found->second.get();
    }
    copy->children.insert_or_assign(std::string(path.front()), rebuild(child, path.subspan(1), filter, logger, name));
    return copy;
}

}  // namespace

bool LoggerCache::store(std::string_view target, LevelFilter filter, PyObject* logger, PyObject* name) {
    NodeRef expected = root_.load(std::memory_order_acquire);
    std::vector<std::string_view> path;
    for_each_segment(target, [&](std::string_view segment) { path.push_back(segment); });
    NodeRef replacement = rebuild(expected.get(), path, filter, logger, name);
    return root_.compare_exchange_strong(expected, std::move(replacement), std::memory_order_acq_rel);
}

}  // namespace tervalin::log
