// Counts heap allocations made while a measurement runs: Python's allocator
// domains through PyMem_SetAllocator, and C++ operator new, which the test
// program replaces so that native allocations of the module count too (and
// can be made to fail on one thread).
#include "allocation_count.hpp"

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <new>

namespace {

std::atomic<bool> counting{false};
std::atomic<long> allocations{0};

struct Domain {
    PyMemAllocatorDomain domain;
    PyMemAllocatorEx original;
};

Domain domains[] = {{PYMEM_DOMAIN_RAW, {}}, {PYMEM_DOMAIN_MEM, {}}, {PYMEM_DOMAIN_OBJ, {}}};

void note() {
    if (counting.load(std::memory_order_relaxed)) allocations.fetch_add(1, std::memory_order_relaxed);
}

void* counted_malloc(void* context, std::size_t size) {
    note();
    auto* original = static_cast<PyMemAllocatorEx*>(context);
    return original->malloc(original->ctx, size);
}
void* counted_calloc(void* context, std::size_t count, std::size_t size) {
    note();
    auto* original = static_cast<PyMemAllocatorEx*>(context);
    return original->calloc(original->ctx, count, size);
}
void* counted_realloc(void* context, void* pointer, std::size_t size) {
    note();
    auto* original = static_cast<PyMemAllocatorEx*>(context);
    return original->realloc(original->ctx, pointer, size);
}
void counted_free(void* context, void* pointer) {
    auto* original = static_cast<PyMemAllocatorEx*>(context);
    original->free(original->ctx, pointer);
}

}  // namespace

namespace {
constinit thread_local bool native_allocations_fail = false;
}  // namespace

void fail_native_allocations(bool failing) noexcept { native_allocations_fail = failing; }

void* operator new(std::size_t size) {
    note();
    if (!native_allocations_fail)
        if (void* memory = std::malloc(size == 0 ? 1 : size)) return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, std::align_val_t align) {
    note();
    const auto alignment = static_cast<std::size_t>(align);
    // aligned_alloc takes only sizes that are a multiple of the alignment.
    const std::size_t rounded = (std::max<std::size_t>(size, 1) + alignment - 1) / alignment * alignment;
    if (!native_allocations_fail)
        if (void* memory = std::aligned_alloc(alignment, rounded)) return memory;
    throw std::bad_alloc();
}
void* operator new(std::size_t size, const std::nothrow_t&) noexcept {
    try {
        return operator new(size);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void* operator new(std::size_t size, std::align_val_t align, const std::nothrow_t&) noexcept {
    try {
        return operator new(size, align);
    } catch (const std::bad_alloc&) {
        return nullptr;
    }
}
void operator delete(void* pointer) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::align_val_t) noexcept { std::free(pointer); }
void operator delete(void* pointer, std::size_t, std::align_val_t) noexcept { std::free(pointer); }

long count_allocations(const std::function<void()>& run) {
    for (Domain& d : domains) {
        PyMem_GetAllocator(d.domain, &d.original);
        PyMemAllocatorEx counted{&d.original, counted_malloc, counted_calloc, counted_realloc, counted_free};
        PyMem_SetAllocator(d.domain, &counted);
    }
    allocations.store(0);
    counting.store(true);
    run();
    counting.store(false);
    for (Domain& d : domains) PyMem_SetAllocator(d.domain, &d.original);
    return allocations.load();
}
