#include "parallel/WorkerPool.h"
#include "parallel/WorkerPoolTesting.h"

#include <atomic>
#include <condition_variable>
#include <exception>
#include <memory>
#include <mutex>
#include <new>
#include <thread>

namespace {

// One record per thread. Run fills it under the lock before raising woken; the worker reads it
// after it has consumed the wake-up.
struct Worker {
    std::condition_variable wake;
    bool woken = false;  // a pending wake-up, consumed by the worker like an auto-reset signal
    uint32_t quit = 0;
    RowTask task = nullptr;
    void* context = nullptr;
    uint32_t first = 0;
    uint32_t count = 0;
};

// A slice that was not handed out directly; count 0 marks the end of the queue.
struct QueueEntry {
    uint32_t first = 0;
    uint32_t count = 0;
};

// Everything one pool lifetime owns. Workers keep a pointer to their own pool, so a teardown that
// has already unpublished it can finish joining while a new Acquire builds the next one.
struct Pool {
    unsigned threadCount = 0;
    unsigned queueCapacity = 0;
    std::unique_ptr<Worker[]> workers;
    std::unique_ptr<QueueEntry[]> queue;
    std::unique_ptr<std::thread[]> threads;
    unsigned threadsStarted = 0;
    std::condition_variable ready;  // startPending reached 0
    std::condition_variable done;   // outstanding reached 0
    unsigned startPending = 0;
    unsigned outstanding = 0;
    unsigned nextQueued = 0;  // 0: queue empty (queued slices start at index N >= 2)
    bool busy = false;
};

std::atomic<unsigned> processorCount{0};

// Guards the reference count, the published pool and every field of every pool.
std::mutex poolLock;
uint32_t referenceCount = 0;
Pool* currentPool = nullptr;

void WorkerLoop(Pool* pool, Worker* self) {
    std::unique_lock<std::mutex> lock(poolLock);
    if (--pool->startPending == 0) pool->ready.notify_all();
    for (;;) {
        self->wake.wait(lock, [self] { return self->woken; });
        self->woken = false;
        uint32_t first = self->first;
        uint32_t count = self->count;
        for (;;) {
            // Tested before every slice, so a worker never starts work once teardown has begun.
            if (self->quit) return;
            RowTask task = self->task;
            void* context = self->context;
            lock.unlock();
            task(context, first, count);
            lock.lock();
            // Notified under the lock: once outstanding is 0 the Run may return and the pool may
            // be torn down, so nothing of it may be touched after the lock is dropped.
            if (--pool->outstanding == 0) pool->done.notify_one();
            if (pool->nextQueued == 0) break;
            const QueueEntry& entry = pool->queue[pool->nextQueued];
            first = entry.first;
            count = entry.count;
            ++pool->nextQueued;
            if (pool->nextQueued == pool->queueCapacity ||
                pool->queue[pool->nextQueued].count == 0) {
                pool->nextQueued = 0;
            }
        }
    }
}

// Tells every started worker to quit and waits until each thread has exited. Called without the
// lock; the pool must no longer be reachable through currentPool.
void StopAndFree(Pool* pool) {
    {
        std::lock_guard<std::mutex> guard(poolLock);
        for (unsigned i = 0; i < pool->threadsStarted; ++i) {
            Worker& worker = pool->workers[i];
            worker.quit = 1;
            worker.woken = true;
            worker.wake.notify_one();
        }
    }
    for (unsigned i = 0; i < pool->threadsStarted; ++i) pool->threads[i].join();
    delete pool;
}

// Allocates the records and starts 2N threads. Called with the lock held by the caller's
// unique_lock, which is left held on success; on failure the lock is dropped (to let started
// threads exit), everything made is freed and null is returned.
Pool* BuildPool(unsigned processors, std::unique_lock<std::mutex>& lock) {
    Pool* pool = new (std::nothrow) Pool;
    if (!pool) return nullptr;
    pool->threadCount = 2 * processors;
    pool->queueCapacity = 4 * processors;
    pool->workers.reset(new (std::nothrow) Worker[pool->threadCount]);
    pool->queue.reset(new (std::nothrow) QueueEntry[pool->queueCapacity]);
    pool->threads.reset(new (std::nothrow) std::thread[pool->threadCount]);
    if (!pool->workers || !pool->queue || !pool->threads) {
        delete pool;
        return nullptr;
    }
    pool->startPending = pool->threadCount;
    for (unsigned i = 0; i < pool->threadCount; ++i) {
        try {
            pool->threads[i] = std::thread(WorkerLoop, pool, &pool->workers[i]);
        } catch (const std::exception&) {
            // The threads already started are stopped and waited for before the pool is freed.
            lock.unlock();
            StopAndFree(pool);
            lock.lock();
            return nullptr;
        }
        ++pool->threadsStarted;
    }
    return pool;
}

}  // namespace

namespace WorkerPool {

unsigned ProcessorCount() {
    unsigned count = processorCount.load(std::memory_order_acquire);
    if (count != 0) return count;
    unsigned hardware = std::thread::hardware_concurrency();
    if (hardware == 0) hardware = 1;
    unsigned expected = 0;
    if (processorCount.compare_exchange_strong(expected, hardware, std::memory_order_acq_rel)) {
        return hardware;
    }
    return expected;
}

int OverrideProcessorCount(unsigned count) {
    if (count == 0) count = 1;
    unsigned expected = 0;
    return processorCount.compare_exchange_strong(expected, count, std::memory_order_acq_rel) ? 1
                                                                                              : 0;
}

int Acquire() {
    if (ProcessorCount() < 2) return 1;
    std::unique_lock<std::mutex> lock(poolLock);
    if (referenceCount != 0) {
        if (referenceCount == UINT32_MAX) return 0;
        ++referenceCount;
        // A second holder may arrive while the first is still waiting for the workers.
        Pool* pool = currentPool;
        pool->ready.wait(lock, [pool] { return pool->startPending == 0; });
        return 1;
    }
    Pool* pool = BuildPool(ProcessorCount(), lock);
    if (!pool) return 0;
    currentPool = pool;
    referenceCount = 1;
    pool->ready.wait(lock, [pool] { return pool->startPending == 0; });
    return 1;
}

void Release() {
    if (ProcessorCount() < 2) return;
    Pool* pool = nullptr;
    {
        std::lock_guard<std::mutex> guard(poolLock);
        // A Release without a matching Acquire (for instance after a failed one) changes nothing.
        if (referenceCount == 0) return;
        if (--referenceCount != 0) return;
        pool = currentPool;
        currentPool = nullptr;
    }
    StopAndFree(pool);
}

int Run(RowTask task, void* context, unsigned count) {
    if (count == 0) return 1;
    if (ProcessorCount() < 2) {
        task(context, 0, count);
        return 1;
    }
    std::unique_lock<std::mutex> lock(poolLock);
    Pool* pool = currentPool;
    // Busy: a nested call from a task or a call from another thread runs its whole range alone.
    // No pool: the caller holds no reference; running inline is the only safe answer.
    if (!pool || pool->busy) {
        lock.unlock();
        task(context, 0, count);
        return 1;
    }
    pool->busy = true;
    const unsigned n = pool->threadCount / 2;
    const unsigned q = pool->queueCapacity;
    // Up to Q contiguous slices, the first count mod Q of them one item longer; below Q items
    // every slice is a single item. The first N go straight to workers, the rest to the queue.
    const unsigned slices = count < q ? count : q;
    const uint32_t base = count / slices;
    const uint32_t extra = count % slices;
    uint32_t first = 0;
    for (unsigned k = 0; k < slices; ++k) {
        const uint32_t length = base + (k < extra ? 1 : 0);
        if (k < n) {
            pool->workers[k].first = first;
            pool->workers[k].count = length;
        } else {
            pool->queue[k] = {first, length};
        }
        first += length;
    }
    if (slices < q) pool->queue[slices] = {0, 0};
    pool->nextQueued = slices > n ? n : 0;
    pool->outstanding = slices;
    const unsigned active = slices < n ? slices : n;
    for (unsigned i = 0; i < active; ++i) {
        Worker& worker = pool->workers[i];
        worker.task = task;
        worker.context = context;
        worker.woken = true;
    }
    // Woken outside the lock, so a worker does not wake only to block on it. The pool outlives
    // this call: the caller holds a reference, and busy keeps every other Run off it.
    lock.unlock();
    for (unsigned i = 0; i < active; ++i) pool->workers[i].wake.notify_one();
    lock.lock();
    pool->done.wait(lock, [pool] { return pool->outstanding == 0; });
    pool->busy = false;
    return 1;
}

}  // namespace WorkerPool
