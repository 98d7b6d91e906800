// Hooks of `_tervalin_native` that run native threads against the logger
// cache, and log after the interpreter has finalised.
#pragma once

#include <Python.h>

namespace tervalin::log {
class BridgeLogger;
}

// The installed bridge logger, or null when another logger is installed.
const tervalin::log::BridgeLogger* installed_bridge();

// parked_store(rejected_target, fresh_target, threads, records): logs a first
// record for `fresh_target` from this thread, whose store is parked between
// building and publishing its tree while `threads` native threads emit
// `records` records each for `rejected_target` (cached as rejecting). Returns
// (records completed while parked, whether all readers finished while parked,
// whether a reader found `fresh_target` cached while parked, whether it is
// cached afterwards).
PyObject* parked_store(PyObject*, PyObject* args);

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
