#include "HeapCounter.h"

#include <malloc.h>

#include <atomic>
#include <cerrno>
#include <cstddef>

extern "C" {
void* __libc_malloc(size_t size);
void __libc_free(void* p);
void* __libc_realloc(void* p, size_t size);
void* __libc_calloc(size_t count, size_t size);
void* __libc_memalign(size_t alignment, size_t size);
}

namespace {

std::atomic<int64_t> g_inUse{0};
std::atomic<int64_t> g_peak{0};

void Added(void* p) {
    if (p == nullptr)
        return;
    const auto n = static_cast<int64_t>(malloc_usable_size(p));
    const int64_t now = g_inUse.fetch_add(n, std::memory_order_relaxed) + n;
    int64_t peak = g_peak.load(std::memory_order_relaxed);
    while (now > peak && !g_peak.compare_exchange_weak(peak, now, std::memory_order_relaxed)) {
    }
}

void Removed(void* p) {
    if (p == nullptr)
        return;
    g_inUse.fetch_sub(static_cast<int64_t>(malloc_usable_size(p)), std::memory_order_relaxed);
}

}  // namespace

extern "C" {

void* malloc(size_t size) {
    void* p = __libc_malloc(size);
    Added(p);
    return p;
}

void free(void* p) {
    Removed(p);
    __libc_free(p);
}

void* calloc(size_t count, size_t size) {
    void* p = __libc_calloc(count, size);
    Added(p);
    return p;
}

void* realloc(void* p, size_t size) {
    const auto before = p != nullptr ? static_cast<int64_t>(malloc_usable_size(p)) : 0;
    void* q = __libc_realloc(p, size);
    if (q != nullptr || size == 0) {  // on failure the old block stays allocated
        g_inUse.fetch_sub(before, std::memory_order_relaxed);
        Added(q);
    }
    return q;
}

void* memalign(size_t alignment, size_t size) {
    void* p = __libc_memalign(alignment, size);
    Added(p);
    return p;
}

void* aligned_alloc(size_t alignment, size_t size) {
    return memalign(alignment, size);
}

int posix_memalign(void** out, size_t alignment, size_t size) {
    if (alignment % sizeof(void*) != 0 || (alignment & (alignment - 1)) != 0)
        return EINVAL;
    void* p = memalign(alignment, size);
    if (p == nullptr)
        return ENOMEM;
    *out = p;
    return 0;
}

}  // extern "C"

namespace kvr::test {

int64_t HeapInUseBytes() {
    return g_inUse.load(std::memory_order_relaxed);
}
int64_t HeapPeakBytes() {
    return g_peak.load(std::memory_order_relaxed);
}
void ResetHeapPeak() {
    g_peak.store(g_inUse.load(std::memory_order_relaxed));
}

}  // namespace kvr::test
