#pragma once

#include <Python.h>

#include <functional>

// Heap allocations made while `run` runs (Python's domains and operator new).
long count_allocations(const std::function<void()>& run);

// While set, every operator new on the calling thread fails (the throwing
// forms throw std::bad_alloc, the nothrow forms return null).
void fail_native_allocations(bool failing) noexcept;
