// Hooks of `_tervalin_native` that run native threads against the logger
// cache, and log after the interpreter has finalised.
#pragma once

#include "logbridge/logger_cache.hpp"

#include <Python.h>

#include <string_view>

namespace tervalin::log {
class BridgeLogger;
}

// The installed bridge logger, or null when another logger is installed.
const tervalin::log::BridgeLogger* installed_bridge();

// The node for `target` in `cache`, kept alive by the returned reference, or null.
[[nodiscard]] tervalin::log::NodeRef lookup(const tervalin::log::LoggerCache& cache, std::string_view target);

// parked_store(threads, records, logger): on a cache of its own, builds the
// tree of a store for a fresh target and parks there, between building and
// publishing it (the writers' mutex held), while `threads` native threads
// emit `records` records each for a target the cache rejects. Returns
// (records completed while parked, whether all readers finished while
// parked, whether a reader found the fresh target cached while parked,
// whether it is cached once the store is published).
PyObject* parked_store(PyObject*, PyObject* args);

// hold_read_sections(threads): starts `threads` native threads that each stay
// inside a read section of the installed bridge's cache, and returns once
// they all are; release_read_sections() lets them leave and joins them.
PyObject* hold_read_sections(PyObject*, PyObject* arg);
PyObject* release_read_sections(PyObject*, PyObject*);

// read_without_counter(logger): on a cache of its own holding `logger`,
// parks native threads that hold reader counters until one finds none free
// and cannot allocate more (its native allocations fail). Another such
// thread then reads without a counter, in nested sections, while this thread
// replaces the tree it reads (the reader still reads that tree's node
// afterwards, which the sanitizer build checks). Returns a dict: holders
// (threads parked), exhausted (one found no counter), counterless (the reader had no counter), found (it
// found the node), waited (the store returned only after the reader left its
// section), owned_after (counters owned once the holders are gone, minus
// counters owned before).
PyObject* read_without_counter(PyObject*, PyObject* logger);

// reject_under_stores(threads, records, targets, logger): on a cache of its
// own, `threads` native threads each emit `records` records that the cache
// rejects while another thread keeps storing `logger` for `targets` targets.
// Returns a dict: mean_ns, median_ns, p999_ns, max_ns (per record, over all
// threads), cpu_ns (the readers' CPU time per record, which leaves out time
// spent preempted), clock_ns (what reading the clock costs, included in each
// record's time),
// stores, most_retired (the most replaced trees waiting at once) and
// retired_after (waiting after one more store once the readers were gone).
// The cache and every reference it held are gone when it returns.
PyObject* reject_under_stores(PyObject*, PyObject* args);

// log_after_finalize(target): at the very end of Py_FinalizeEx, logs an info
// record for `target` from the main thread and from a new native thread, and
// tries acquire_lock; reports each outcome on standard error.
PyObject* log_after_finalize(PyObject*, PyObject* arg);
