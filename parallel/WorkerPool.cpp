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

// One Run in progress, on its caller's stack. Slice k covers base + 1 items when k < extra, base
// otherwise, and starts where slice k - 1 ends.
struct Job {
    RowTask task = nullptr;
    void* context = nullptr;
    uint32_t base = 0;
    uint32_t extra = 0;
    unsigned slices = 0;
    unsigned nextSlice = 0;        // the first slice not yet handed to a worker
    unsigned outstanding = 0;      // slices not yet finished
    std::condition_variable done;  // outstanding reached 0
    Job* next = nullptr;           // in the pool's queue of jobs with slices left to hand out
};

// One record per thread; job is null while the worker is idle. Run or the worker itself sets job
// and slice under the lock.
struct Worker {
    std::condition_variable wake;
    uint32_t quit = 0;
    Job* job = nullptr;
    unsigned slice = 0;
};

// Everything one pool lifetime owns. Workers keep a pointer to their own pool, so a teardown that
// has already unpublished it can finish joining while a new Acquire builds the next one.
struct Pool {
    unsigned threadCount = 0;
    unsigned sliceLimit = 0;
    std::unique_ptr<Worker[]> workers;
    std::unique_ptr<std::thread[]> threads;
    unsigned threadsStarted = 0;
    std::condition_variable ready;  // startPending reached 0
    unsigned startPending = 0;
    // Jobs that still have slices to hand out. A worker takes one slice from the head and moves
    // the job to the tail, so concurrent jobs share the workers round robin. While the queue
    // holds a job, none of the first N workers (the only ones given slices) is idle.
    Job* queueHead = nullptr;
    Job* queueTail = nullptr;
};

std::atomic<unsigned> processorCount{0};

// Guards the reference count, the published pool and every field of every pool and job.
std::mutex poolLock;
uint32_t referenceCount = 0;
Pool* currentPool = nullptr;

// Set on the pool's own threads: a Run there comes from inside a task and runs inline, since
// waiting for the other workers from a worker could deadlock.
thread_local bool onWorkerThread = false;

void Enqueue(Pool* pool, Job* job) {
    job->next = nullptr;
    if (pool->queueTail) {
        pool->queueTail->next = job;
    } else {
        pool->queueHead = job;
    }
    pool->queueTail = job;
}

// Hands the calling worker the next slice of the job at the head of the queue; null when the
// queue is empty.
Job* TakeSlice(Pool* pool, unsigned* slice) {
    Job* job = pool->queueHead;
    if (!job) return nullptr;
    pool->queueHead = job->next;
    if (!pool->queueHead) pool->queueTail = nullptr;
    *slice = job->nextSlice++;
    if (job->nextSlice < job->slices) Enqueue(pool, job);
    return job;
}

void WorkerLoop(Pool* pool, Worker* self) {
    onWorkerThread = true;
    std::unique_lock<std::mutex> lock(poolLock);
    if (--pool->startPending == 0) pool->ready.notify_all();
    for (;;) {
        self->wake.wait(lock, [self] { return self->job || self->quit; });
        // Tested before every slice, so a worker never starts work once teardown has begun.
        if (self->quit) return;
        Job* job = self->job;
        const unsigned k = self->slice;
        const uint32_t first = k * job->base + (k < job->extra ? k : job->extra);
        const uint32_t count = job->base + (k < job->extra ? 1 : 0);
        lock.unlock();
        job->task(job->context, first, count);
        lock.lock();
        // Notified under the lock: once outstanding is 0 the Run may return and free the job, and
        // the pool may be torn down, so nothing of either may be touched after the lock is dropped.
        if (--job->outstanding == 0) job->done.notify_one();
        self->job = TakeSlice(pool, &self->slice);
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
    pool->sliceLimit = 4 * processors;
    pool->workers.reset(new (std::nothrow) Worker[pool->threadCount]);
    pool->threads.reset(new (std::nothrow) std::thread[pool->threadCount]);
    if (!pool->workers || !pool->threads) {
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
    if (ProcessorCount() < 2 || onWorkerThread) {
        task(context, 0, count);
        return 1;
    }
    std::unique_lock<std::mutex> lock(poolLock);
    Pool* pool = currentPool;
    // The caller holds no reference; running inline is the only safe answer.
    if (!pool) {
        lock.unlock();
        task(context, 0, count);
        return 1;
    }
    // Up to Q contiguous slices, the first count mod Q of them one item longer; below Q items
    // every slice is a single item.
    Job job;
    job.task = task;
    job.context = context;
    job.slices = count < pool->sliceLimit ? count : pool->sliceLimit;
    job.base = count / job.slices;
    job.extra = count % job.slices;
    job.outstanding = job.slices;
    // Idle workers among the first N take the first slices; the rest wait in the queue.
    const unsigned n = pool->threadCount / 2;
    unsigned lowest = n;
    unsigned highest = 0;
    for (unsigned i = 0; i < n && job.nextSlice < job.slices; ++i) {
        Worker& worker = pool->workers[i];
        if (worker.job) continue;
        worker.job = &job;
        worker.slice = job.nextSlice++;
        if (lowest == n) lowest = i;
        highest = i;
    }
    if (job.nextSlice < job.slices) Enqueue(pool, &job);
    // Woken outside the lock, so a worker does not wake only to block on it. Every worker from
    // lowest to highest that was idle took a slice; one woken without a slice sleeps again. The
    // pool outlives this call, as the caller holds a reference.
    lock.unlock();
    for (unsigned i = lowest; i <= highest; ++i) pool->workers[i].wake.notify_one();
    lock.lock();
    job.done.wait(lock, [&job] { return job.outstanding == 0; });
    return 1;
}

}  // namespace WorkerPool
