// The ordered worker pool: results come back in submission order whatever the workers do, at
// most `slots` items are in flight, and a failure or a cancellation skips what was not started.
#include <atomic>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include "foundation/work_pool.h"

namespace {

// Items whose task squares the input after a stretch of work that varies from item to item, so
// that later items often finish before earlier ones.
struct Squares {
    std::vector<uint64_t> input;   // per slot
    std::vector<uint64_t> output;  // per slot
    std::atomic<uint32_t> calls{0};
    std::atomic<uint32_t> badWorker{0};
    uint32_t workers = 0;
    uint64_t failAt = UINT64_MAX;  // input value whose task fails
};

int SquareTask(void* context, uint32_t worker, uint32_t slot)
{
    Squares* s = static_cast<Squares*>(context);
    s->calls++;
    if (worker >= s->workers) s->badWorker++;
    const uint64_t v = s->input[slot];
    volatile uint64_t spin = 0;
    for (uint64_t i = 0; i < (v * 7919) % 20000; ++i) spin += i;
    if (v == s->failAt) return -7;
    s->output[slot] = v * v;
    return 0;
}

struct Shape {
    uint32_t workers;
    uint32_t slots;
};

class WorkPoolOrder : public ::testing::TestWithParam<Shape> {};

TEST_P(WorkPoolOrder, ResultsComeBackInSubmissionOrderAndTheRingStaysBounded)
{
    const Shape shape = GetParam();
    Squares s;
    s.input.resize(shape.slots);
    s.output.resize(shape.slots);
    WorkPool* pool = WorkPool_Create(shape.workers, shape.slots, SquareTask, &s);
    ASSERT_NE(pool, nullptr);
    s.workers = WorkPool_Workers(pool);
    EXPECT_GE(s.workers, 1u);
    EXPECT_LE(s.workers, shape.workers);
    const uint64_t kItems = 600;
    uint64_t next = 0, expected = 0;
    while (expected < kItems) {
        if (next < kItems && !WorkPool_IsFull(pool)) {
            s.input[WorkPool_NextSlot(pool)] = next++;
            ASSERT_TRUE(WorkPool_Submit(pool));
            ASSERT_LE(WorkPool_Pending(pool), shape.slots);
            continue;
        }
        if (next < kItems) {
            EXPECT_FALSE(WorkPool_Submit(pool));  // full: refused
        }
        uint32_t slot = 0;
        int result = 1;
        ASSERT_TRUE(WorkPool_Take(pool, &slot, &result));
        ASSERT_EQ(result, 0);
        ASSERT_EQ(s.input[slot], expected);
        ASSERT_EQ(s.output[slot], expected * expected);
        ++expected;
    }
    uint32_t slot = 0;
    int result = 0;
    EXPECT_FALSE(WorkPool_Take(pool, &slot, &result));
    EXPECT_EQ(s.calls.load(), kItems);
    EXPECT_EQ(s.badWorker.load(), 0u);
    WorkPool_Free(pool);
}

INSTANTIATE_TEST_SUITE_P(Shapes, WorkPoolOrder,
                         ::testing::Values(Shape{1, 1}, Shape{1, 5}, Shape{2, 3}, Shape{8, 2},
                                           Shape{8, 32}, Shape{16, 64}));

TEST(WorkPool, AFailureIsTakenInItsPlaceAndSkipsTheItemsNotStarted)
{
    // One worker runs the items strictly in order: after the failing one none is started.
    Squares s;
    const uint32_t kSlots = 10;
    s.input.resize(kSlots);
    s.output.resize(kSlots);
    s.failAt = 4;
    WorkPool* pool = WorkPool_Create(1, kSlots, SquareTask, &s);
    ASSERT_NE(pool, nullptr);
    s.workers = WorkPool_Workers(pool);
    for (uint64_t v = 0; v < kSlots; ++v) {
        s.input[WorkPool_NextSlot(pool)] = v;
        ASSERT_TRUE(WorkPool_Submit(pool));
    }
    for (uint64_t v = 0; v < kSlots; ++v) {
        uint32_t slot = 0;
        int result = 0;
        ASSERT_TRUE(WorkPool_Take(pool, &slot, &result));
        EXPECT_EQ(s.input[slot], v);
        EXPECT_EQ(result, v < 4 ? 0 : -7) << v;
    }
    EXPECT_EQ(s.calls.load(), 5u);
    WorkPool_Free(pool);
}

struct Gate {
    std::atomic<bool> open{false};
    std::atomic<uint32_t> calls{0};
};

int GatedTask(void* context, uint32_t, uint32_t)
{
    Gate* g = static_cast<Gate*>(context);
    g->calls++;
    while (!g->open.load()) std::this_thread::yield();
    return 0;
}

TEST(WorkPool, CancelledItemsComeBackWithTheCancelResultAndAreNeverRun)
{
    Gate gate;
    WorkPool* pool = WorkPool_Create(1, 6, GatedTask, &gate);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 6; ++i) ASSERT_TRUE(WorkPool_Submit(pool));
    while (gate.calls.load() == 0) std::this_thread::yield();  // the first one is running
    WorkPool_Cancel(pool, 1);
    gate.open = true;
    for (int i = 0; i < 6; ++i) {
        uint32_t slot = 0;
        int result = -1;
        ASSERT_TRUE(WorkPool_Take(pool, &slot, &result));
        EXPECT_EQ(slot, static_cast<uint32_t>(i));
        EXPECT_EQ(result, i == 0 ? 0 : 1) << i;
    }
    EXPECT_EQ(gate.calls.load(), 1u);
    WorkPool_Free(pool);
}

TEST(WorkPool, FreeingWithItemsInFlightStopsTheWorkers)
{
    Gate gate;
    gate.open = true;
    WorkPool* pool = WorkPool_Create(4, 8, GatedTask, &gate);
    ASSERT_NE(pool, nullptr);
    for (int i = 0; i < 8; ++i) ASSERT_TRUE(WorkPool_Submit(pool));
    WorkPool_Free(pool);  // returns: nothing waits for the items never taken
    WorkPool_Free(nullptr);
    SUCCEED();
}

TEST(WorkPool, DefaultWorkersFollowTheSetNumberWithinTheLimit)
{
    WorkPool_SetDefaultWorkers(3);
    EXPECT_EQ(WorkPool_DefaultWorkers(), 3u);
    WorkPool_SetDefaultWorkers(100);
    EXPECT_EQ(WorkPool_DefaultWorkers(), 16u);
    WorkPool_SetDefaultWorkers(0);
    EXPECT_GE(WorkPool_DefaultWorkers(), 1u);
    EXPECT_LE(WorkPool_DefaultWorkers(), 16u);
}

}  // namespace
