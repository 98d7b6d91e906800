#include "logbridge/logger_cache.hpp"

#include <span>
#include <vector>

namespace tervalin::log {

LoggerCache::LoggerCache() : root_(std::make_shared<const CacheNode>()) {}

NodeRef LoggerCache::lookup(std::string_view target) const {
    const NodeRef snapshot = root_.load(std::memory_order_acquire);
    const CacheNode* node = snapshot.get();
    const NodeRef* found = nullptr;
    for_each_segment(target, [&](std::string_view segment) {
        if (node == nullptr) return;
        auto child = node->children.find(segment);
        if (child == node->children.end()) {
            node = nullptr;
            return;
        }
        found = &child->second;
        node = child->second.get();
    });
    if (node == nullptr || found == nullptr) return nullptr;
    return *found;  // shares the node; the snapshot is let go on return
}

namespace {

// A copy of `original` (or an empty node) whose subtree along `path` is
// rebuilt with `entry` at its end; nodes off the path are shared.
NodeRef rebuild(const CacheNode* original, std::span<const std::string_view> path, LevelFilter filter,
                PyObject* logger) {
    auto copy = std::make_shared<CacheNode>();
    if (original != nullptr) {
        if (original->entry)
            copy->entry = CacheEntry{original->entry->filter, Ref::borrow(original->entry->logger.get())};
        copy->children = original->children;
    }
    if (path.empty()) {
        copy->entry = CacheEntry{filter, Ref::borrow(logger)};
        return copy;
    }
    const CacheNode* child = nullptr;
    if (original != nullptr) {
        auto found = original->children.find(path.front());
        if (found != original->children.end()) child = found->second.get();
    }
    copy->children.insert_or_assign(std::string(path.front()), rebuild(child, path.subspan(1), filter, logger));
    return copy;
}

}  // namespace

bool LoggerCache::store(std::string_view target, LevelFilter filter, PyObject* logger) {
    NodeRef expected = root_.load(std::memory_order_acquire);
    std::vector<std::string_view> path;
    for_each_segment(target, [&](std::string_view segment) { path.push_back(segment); });
    NodeRef replacement = rebuild(expected.get(), path, filter, logger);
    return root_.compare_exchange_strong(expected, std::move(replacement), std::memory_order_acq_rel);
}

}  // namespace tervalin::log
