#include "logbridge/logger_cache.hpp"

#include <algorithm>
#include <iterator>
#include <span>

namespace tervalin::log {

namespace {

// A copy of `original` (or an empty node) whose subtree along `path` is
// rebuilt with `entry` at its end; nodes off the path are shared.
NodeRef rebuild(const CacheNode* original, std::span<const std::string_view> path, LevelFilter filter,
                PyObject* logger, PyObject* name) {
    auto copy = std::make_shared<CacheNode>();
    if (original != nullptr) {
        if (const auto& entry = original->entry)
            copy->entry = CacheEntry{entry->filter, Ref::new_ref(entry->logger.get()), Ref::new_ref(entry->name.get())};
        copy->children = original->children;
    }
    if (path.empty()) {
        copy->entry = CacheEntry{filter, Ref::new_ref(logger), Ref::new_ref(name)};
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

LoggerCache::LoggerCache() : current_(std::make_shared<const CacheNode>()) { root_.store(current_.get()); }

// Whoever destroys a cache makes sure no reader is left in it.
LoggerCache::~LoggerCache() = default;

LoggerCache::PendingStore LoggerCache::build_store(std::string_view target, LevelFilter filter, PyObject* logger,
                                                   PyObject* name) {
    std::vector<std::string_view> path;
    for_each_segment(target, [&](std::string_view segment) { path.push_back(segment); });
    std::unique_lock lock(writer_);
    NodeRef tree = rebuild(current_.get(), path, filter, logger, name);
    return PendingStore(*this, std::move(tree), std::move(lock));
}

void LoggerCache::PendingStore::publish() && {
    // Trees freed here release Python references, whose finalisers may log
    // and so store: they are dropped only after the mutex is given back.
    std::vector<Retired> freed;
    {
        const std::unique_lock lock = std::move(lock_);
        LoggerCache& cache = *cache_;
        // Room for every tree that can be retired or freed below, so that
        // nothing fails once the new tree is published.
        cache.retired_.reserve(cache.retired_.size() + 1);
        freed.reserve(cache.retired_.size() + 1);
        // Sequentially consistent, and before the open sections are counted:
        // a section not counted below is sure to find the new tree.
        cache.root_.store(tree_.get(), std::memory_order_seq_cst);
        NodeRef replaced = std::exchange(cache.current_, std::move(tree_));
        cache.retired_.push_back({std::move(replaced), GracePeriod::begin()});
        auto still_read = std::partition(cache.retired_.begin(), cache.retired_.end(),
                                         [](Retired& retired) { return !retired.readers.passed(); });
        std::move(still_read, cache.retired_.end(), std::back_inserter(freed));
        cache.retired_.erase(still_read, cache.retired_.end());
    }
}

std::size_t LoggerCache::retired_count() const {
    std::lock_guard lock(writer_);
    return retired_.size();
}

}  // namespace tervalin::log
