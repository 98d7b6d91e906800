// Hooks of `_tervalin_native` that log through the kit's <tervalin/log.hpp>,
// as a separately built extension does, so that the sanitizer builds check
// that path too. Apart from the other hooks: the kit header and the module's
// own logging header both define namespace tervalin::log.
#pragma once

#include <Python.h>

// kit_log_from_threads(threads, records, target, level): native threads
// without the interpreter lock emit `records` records each through the kit,
// with the message "<thread>:<index>"; the last thread's records go through
// the printf-style call of that level.
PyObject* kit_log_from_threads(PyObject*, PyObject* args);

// kit_attached_threads(threads, records, target, mode) -> (attached, ns):
// native threads emit `records` info records each through the kit, with the
// message "<thread>:<index>" (odd indices through the printf-style call).
// mode 0: no attachment; 1: a ThreadAttachment without a name; 2: one named
// "kit-<thread>". Returns whether each thread's attachment took hold and the
// nanoseconds from the first thread's start to the last one's end.
PyObject* kit_attached_threads(PyObject*, PyObject* args);

// kit_park(target, attach): starts one native thread that attaches (named
// "parked") when `attach` is true, logs the info record "before" for `target`, waits to be
// released (the call returns once it waits), logs "after" and ends; it reports each step on standard error
// ("parked: attached 1", "parked: ended"). kit_release_parked(join) lets it
// go on, and joins it (with the lock released) when `join` is true;
// kit_join_parked_at_exit() does both at the very end of Py_FinalizeEx.
PyObject* kit_park(PyObject*, PyObject* args);
PyObject* kit_release_parked(PyObject*, PyObject* arg);
PyObject* kit_join_parked_at_exit(PyObject*, PyObject*);

// Whether the kit's exit gate has closed (Python's atexit functions ran it).
PyObject* kit_gate_closed(PyObject*, PyObject*);

// The number of thread states of the current interpreter.
PyObject* thread_state_count(PyObject*, PyObject*);

// kit_attach_here() -> bool: whether a ThreadAttachment made on the calling
// thread, which holds the interpreter lock, takes hold.
PyObject* kit_attach_here(PyObject*, PyObject*);

// kit_attached_rejects_while_locked(target, records) -> bool: an attached
// native thread emits `records` records for `target` while this thread holds
// the interpreter lock and waits for it (up to ten seconds). True when it
// finished within that time, which it can only if no record asked for the
// lock.
PyObject* kit_attached_rejects_while_locked(PyObject*, PyObject* args);

// kit_log(target, message): one info record through the kit from the calling thread.
PyObject* kit_log(PyObject*, PyObject* args);
