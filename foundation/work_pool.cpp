// Ordered, bounded worker pool: one mutex guards the ring; workers wait for items, the caller
// waits for the oldest item to finish.
#include "foundation/work_pool.h"

#include <atomic>
#include <condition_variable>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

#include "foundation/platform.h"

namespace {

const uint32_t kMaxWorkers = 16;

std::atomic<uint32_t> gDefaultWorkers{0};

}  // namespace

struct WorkPool {
    WorkPoolTask task;
    void* context;
    uint32_t slots;
    std::mutex lock;
    std::condition_variable work;  // an item was submitted, or the pool stops
    std::condition_variable done;  // an item finished
    // Counters of items since the start: taken <= started <= submitted <= taken + slots.
    uint64_t submitted = 0;
    uint64_t started = 0;
    uint64_t taken = 0;
    std::vector<uint8_t> finished;  // per slot
    std::vector<int> results;       // per slot
    int skip = 0;                   // non-zero: items not started come back with this
    bool stop = false;
    std::vector<std::thread> threads;
};

uint32_t WorkPool_DefaultWorkers()
{
    uint32_t n = gDefaultWorkers.load();
    if (n == 0) n = Os_UsableCores();
    if (n == 0) n = 1;
    return n > kMaxWorkers ? kMaxWorkers : n;
}

void WorkPool_SetDefaultWorkers(uint32_t workers) { gDefaultWorkers.store(workers); }

// Runs item `index` (whose slot the caller holds the lock for) and records its result; called
// with the lock held, answers with it held.
static void RunItem(WorkPool* pool, std::unique_lock<std::mutex>& held, uint32_t worker,
                    uint64_t index)
{
    const uint32_t slot = static_cast<uint32_t>(index % pool->slots);
    int result = pool->skip;
    if (result == 0) {
        held.unlock();
        result = pool->task(pool->context, worker, slot);
        held.lock();
        if (result != 0 && pool->skip == 0) pool->skip = result;
    }
    pool->results[slot] = result;
    pool->finished[slot] = 1;
}

static void WorkerLoop(WorkPool* pool, uint32_t worker)
{
    std::unique_lock<std::mutex> held(pool->lock);
    for (;;) {
        pool->work.wait(held, [pool] { return pool->stop || pool->started < pool->submitted; });
        if (pool->stop) return;
        const uint64_t index = pool->started++;
        RunItem(pool, held, worker, index);
        pool->done.notify_all();
    }
}

WorkPool* WorkPool_Create(uint32_t workers, uint32_t slots, WorkPoolTask task, void* context)
{
    if (task == nullptr) return nullptr;
    if (workers == 0) workers = 1;
    if (workers > kMaxWorkers) workers = kMaxWorkers;
    if (slots == 0) slots = 1;
    WorkPool* pool = new (std::nothrow) WorkPool;
    if (pool == nullptr) return nullptr;
    pool->task = task;
    pool->context = context;
    pool->slots = slots;
    try {
        pool->finished.assign(slots, 0);
        pool->results.assign(slots, 0);
        pool->threads.reserve(workers);
    } catch (...) {
        delete pool;
        return nullptr;
    }
    for (uint32_t t = 0; t < workers; ++t) {
        try {
            pool->threads.emplace_back(WorkerLoop, pool, t);
        } catch (...) {
            break;  // no more threads to be had: those started do the work
        }
    }
    return pool;
}

void WorkPool_Free(WorkPool* pool)
{
    if (pool == nullptr) return;
    {
        std::lock_guard<std::mutex> held(pool->lock);
        pool->stop = true;
    }
    pool->work.notify_all();
    for (std::thread& t : pool->threads) t.join();
    delete pool;
}

uint32_t WorkPool_Workers(const WorkPool* pool)
{
    return pool->threads.empty() ? 1 : static_cast<uint32_t>(pool->threads.size());
}

uint32_t WorkPool_Slots(const WorkPool* pool) { return pool->slots; }

uint32_t WorkPool_Pending(const WorkPool* pool)
{
    // Only the caller's thread changes submitted and taken.
    return static_cast<uint32_t>(pool->submitted - pool->taken);
}

bool WorkPool_IsFull(const WorkPool* pool) { return WorkPool_Pending(pool) >= pool->slots; }

uint32_t WorkPool_NextSlot(const WorkPool* pool)
{
    return static_cast<uint32_t>(pool->submitted % pool->slots);
}

bool WorkPool_Submit(WorkPool* pool)
{
    if (WorkPool_IsFull(pool)) return false;
    {
        std::lock_guard<std::mutex> held(pool->lock);
        pool->finished[pool->submitted % pool->slots] = 0;
        ++pool->submitted;
    }
    pool->work.notify_one();
    return true;
}

bool WorkPool_Take(WorkPool* pool, uint32_t* slot, int* result)
{
    if (pool->taken == pool->submitted) return false;
    const uint32_t s = static_cast<uint32_t>(pool->taken % pool->slots);
    std::unique_lock<std::mutex> held(pool->lock);
    if (pool->threads.empty()) {
        // No worker threads: the caller runs the items itself, in order.
        while (!pool->finished[s]) RunItem(pool, held, 0, pool->started++);
    } else {
        pool->done.wait(held, [pool, s] { return pool->finished[s] != 0; });
    }
    *slot = s;
    *result = pool->results[s];
    pool->finished[s] = 0;
    ++pool->taken;
    return true;
}

void WorkPool_Cancel(WorkPool* pool, int result)
{
    std::lock_guard<std::mutex> held(pool->lock);
    if (pool->skip == 0) pool->skip = result;
}
