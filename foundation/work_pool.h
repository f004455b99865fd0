// An ordered, bounded pool of worker threads for work that is handed out and taken back in one
// order: the compression of the grains or clusters of a writer, for instance.
//
// The pool owns a ring of `slots` item places; what an item holds (its input and output
// buffers) is the caller's, kept in arrays indexed by slot. One thread (the caller) fills the
// buffers of WorkPool_NextSlot and submits it; the workers run the task on the submitted items in
// submission order; the caller takes the results back, in the same order, with WorkPool_Take.
// At most `slots` items are in flight: a full pool must be taken from before the next submit,
// so the memory of a run is bounded by what the caller allocates for its slots.
//
// The output of a run therefore does not depend on the number of workers: every item is
// handled on its own, and the caller consumes the results in the order it submitted them.
//
// A failed item makes the workers skip the items that were not started yet (they come back
// with the same result); WorkPool_Cancel does so for every item not started. WorkPool_Free
// waits for the running items and stops the threads.
#pragma once

#include <cstdint>

// Handles the item in `slot`; `worker` (0 .. WorkPool_Workers - 1) names the thread that runs
// it, so that each worker can keep state of its own (a compression stream). Answers 0 on
// success, else a result code that the caller gets back from WorkPool_Take.
typedef int (*WorkPoolTask)(void* context, uint32_t worker, uint32_t slot);

struct WorkPool;

// Workers of a pool when the caller has no reason to choose: the number set by
// WorkPool_SetDefaultWorkers, else the cores this process may use; at most 16.
uint32_t WorkPool_DefaultWorkers();
// 0 returns to the number of cores.
void WorkPool_SetDefaultWorkers(uint32_t workers);

// A pool of `workers` threads (at least 1) and `slots` item places (at least 1). NULL when out
// of memory. Threads that cannot be started leave fewer workers; a pool whose threads could not
// be started at all runs each item on the calling thread, inside WorkPool_Take.
WorkPool* WorkPool_Create(uint32_t workers, uint32_t slots, WorkPoolTask task, void* context);
// Cancels the items not started, waits for those running, joins the threads and frees the
// pool. NULL is ignored.
void WorkPool_Free(WorkPool* pool);

// Distinct worker numbers the task may be called with.
uint32_t WorkPool_Workers(const WorkPool* pool);
uint32_t WorkPool_Slots(const WorkPool* pool);
// Items submitted and not taken yet.
uint32_t WorkPool_Pending(const WorkPool* pool);
bool WorkPool_IsFull(const WorkPool* pool);
// The slot that the next WorkPool_Submit hands over (free while the pool is not full).
uint32_t WorkPool_NextSlot(const WorkPool* pool);
// Hands the item in WorkPool_NextSlot to the workers. False (nothing done) when the pool is
// full.
bool WorkPool_Submit(WorkPool* pool);
// Waits for the oldest item not taken yet: *slot = its slot, *result = what its task answered
// (or the result that made it be skipped). The slot belongs to the caller again until its next
// submit. False when no item is pending.
bool WorkPool_Take(WorkPool* pool, uint32_t* slot, int* result);
// Items not started yet are skipped: they are taken with `result`.
void WorkPool_Cancel(WorkPool* pool, int result);
