#pragma once

#include <Python.h>

#include <functional>

// Heap allocations made while `run` runs (Python's domains and operator new).
long count_allocations(const std::function<void()>& run);
