// Interposes malloc, free, calloc, realloc (under every operator new and delete) and the pthread
// mutex calls in the test process, and counts them while armed.
#include "allocation_counter.h"

#include <dlfcn.h>
#include <pthread.h>

#include <atomic>
#include <cstdlib>

extern "C" {
void* __libc_malloc(size_t);
void __libc_free(void*);
void* __libc_calloc(size_t, size_t);
void* __libc_realloc(void*, size_t);
}

namespace {
std::atomic<bool> armed{false};
std::atomic<long> armedCalls{0};
std::atomic<long> liveBlocks{0};
void count() {
    if (armed.load(std::memory_order_relaxed)) armedCalls.fetch_add(1, std::memory_order_relaxed);
}
}  // namespace

extern "C" void* malloc(size_t size) {
    count();
    void* p = __libc_malloc(size);
    if (p) liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}
extern "C" void free(void* p) {
    if (p == nullptr) return;
    count();
    liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    __libc_free(p);
}
extern "C" void* calloc(size_t n, size_t size) {
    count();
    void* p = __libc_calloc(n, size);
    if (p) liveBlocks.fetch_add(1, std::memory_order_relaxed);
    return p;
}
extern "C" void* realloc(void* old, size_t size) {
    count();
    void* p = __libc_realloc(old, size);
    if (old == nullptr && p) liveBlocks.fetch_add(1, std::memory_order_relaxed);
    if (old != nullptr && size == 0) liveBlocks.fetch_sub(1, std::memory_order_relaxed);
    return p;
}
using MutexCall = int (*)(pthread_mutex_t*);
// Resolved before main, outside any armed stretch.
const MutexCall realMutexUnlock =
    reinterpret_cast<MutexCall>(dlsym(RTLD_NEXT, "pthread_mutex_unlock"));
const MutexCall realMutexLock = reinterpret_cast<MutexCall>(dlsym(RTLD_NEXT, "pthread_mutex_lock"));
extern "C" int pthread_mutex_lock(pthread_mutex_t* mutex) {
    count();
    return realMutexLock(mutex);
}
extern "C" int pthread_mutex_unlock(pthread_mutex_t* mutex) {
    count();
    return realMutexUnlock(mutex);
}

namespace grindlet::test {

void armAllocationCounter(bool on) { armed.store(on, std::memory_order_relaxed); }
void resetCountedCalls() { armedCalls.store(0, std::memory_order_relaxed); }
long countedCalls() { return armedCalls.load(std::memory_order_relaxed); }
long liveAllocations() { return liveBlocks.load(std::memory_order_relaxed); }

}  // namespace grindlet::test
