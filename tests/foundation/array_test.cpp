#include "foundation/array.h"
#include "foundation/platform.h"
#include "support/test_support.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <cstring>
#include <fstream>
#include <random>
#include <sstream>
#include <string>
#include <utility>
#include <vector>

using namespace testsupport;

// ---- PtrArray -------------------------------------------------------------

TEST(PtrArray, GrowsToSixteenThenDoublesAndKeepsItems)
{
    PtrArray a;
    PtrArray_Init(&a);
    EXPECT_EQ(a.items, nullptr);
    EXPECT_EQ(PtrArray_GetCount(&a), 0u);

    int values[40];
    for (int i = 0; i < 40; i++) {
        ASSERT_TRUE(PtrArray_Push(&a, &values[i]));
        uint32_t expected = i < 16 ? 16u : (i < 32 ? 32u : 64u);
        EXPECT_EQ(a.capacity, expected) << "after push " << i + 1;
        EXPECT_EQ(PtrArray_GetLast(&a), &values[i]);
    }
    ASSERT_EQ(PtrArray_GetCount(&a), 40u);
    for (uint32_t i = 0; i < 40; i++) EXPECT_EQ(PtrArray_Get(&a, i), &values[i]);

    PtrArray_Free(&a);
    EXPECT_EQ(a.items, nullptr);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.capacity, 0u);
}

TEST(PtrArray, ReserveFirstBlockAndDoubling)
{
    PtrArray a;
    PtrArray_Init(&a);
    ASSERT_TRUE(PtrArray_Reserve(&a, 100));
    EXPECT_EQ(a.capacity, 100u);  // first block: max(n, 16)
    ASSERT_TRUE(PtrArray_Reserve(&a, 50));
    EXPECT_EQ(a.capacity, 100u);
    ASSERT_TRUE(PtrArray_Reserve(&a, 401));
    EXPECT_EQ(a.capacity, 800u);  // doubled until it reaches n
    PtrArray_Free(&a);
}

TEST(PtrArray, HugeReserveFailsAndLeavesArrayUnchanged)
{
    PtrArray a;
    PtrArray_Init(&a);
    // A block of n pointers that does not fit the allocator's 32-bit size.
    EXPECT_FALSE(PtrArray_Reserve(&a, UINT32_MAX));
    EXPECT_FALSE(PtrArray_Reserve(&a, 0x20000000u));
    EXPECT_EQ(a.items, nullptr);
    EXPECT_EQ(a.capacity, 0u);

    int x = 7;
    ASSERT_TRUE(PtrArray_Push(&a, &x));
    void** block = a.items;
    EXPECT_FALSE(PtrArray_Reserve(&a, 0x80000001u));
    EXPECT_EQ(a.items, block);
    EXPECT_EQ(a.capacity, 16u);
    EXPECT_EQ(PtrArray_Get(&a, 0), &x);
    PtrArray_Free(&a);
}

TEST(PtrArray, DoublingPastThirtyTwoBitsFailsInsteadOfLooping)
{
    // A record whose capacity doubles to 2^32: in 32-bit arithmetic that is 0 and the
    // doubling would never end. The block is never touched because the push fails first.
    void* dummy[1] = {nullptr};
    PtrArray a;
    a.items = dummy;
    a.count = 0x80000000u;
    a.capacity = 0x80000000u;
    EXPECT_FALSE(PtrArray_Push(&a, nullptr));
    EXPECT_EQ(a.items, dummy);
    EXPECT_EQ(a.count, 0x80000000u);
    EXPECT_EQ(a.capacity, 0x80000000u);

    a.count = UINT32_MAX;
    a.capacity = UINT32_MAX;
    EXPECT_FALSE(PtrArray_Push(&a, nullptr));
    EXPECT_EQ(a.count, UINT32_MAX);
}

// ---- Array ----------------------------------------------------------------

struct Rec {
    uint32_t key;
    uint32_t payload;
};

TEST(Array, CapacityFourHoldsThreeThenDoubles)
{
    Array a;
    Array_Init(&a);
    ASSERT_TRUE(Array_CreateEmpty(&a, sizeof(Rec), 4));
    EXPECT_EQ(a.elementSize, sizeof(Rec));
    EXPECT_EQ(a.count, 0u);
    for (uint32_t i = 0; i < 3; i++) {
        Rec r{i, i * 10};
        ASSERT_TRUE(Array_Push(&a, &r));
        EXPECT_EQ(a.capacity, 4u);
    }
    Rec r{3, 30};
    ASSERT_TRUE(Array_Push(&a, &r));
    EXPECT_EQ(a.capacity, 8u);
    for (uint32_t i = 4; i < 20; i++) {
        Rec s{i, i * 10};
        ASSERT_TRUE(Array_Push(&a, &s));
    }
    EXPECT_EQ(a.count, 20u);
    EXPECT_EQ(a.capacity, 32u);
    const Rec* d = static_cast<const Rec*>(a.data);
    for (uint32_t i = 0; i < 20; i++) {
        EXPECT_EQ(d[i].key, i);
        EXPECT_EQ(d[i].payload, i * 10);
    }

    Rec z{99, 990};
    Array_SetAt(&a, 5, &z);
    EXPECT_EQ(static_cast<const Rec*>(a.data)[5].key, 99u);

    EXPECT_TRUE(Array_RemoveLast(&a));
    EXPECT_EQ(a.count, 19u);
    Array_Free(&a);
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.elementSize, 0u);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.capacity, 0u);
    EXPECT_FALSE(Array_RemoveLast(&a));
}

TEST(Array, CapacityOneGrowsOnFirstPush)
{
    Array a;
    Array_Init(&a);
    ASSERT_TRUE(Array_CreateEmpty(&a, 1, 1));
    uint8_t v = 0xAB;
    ASSERT_TRUE(Array_Push(&a, &v));
    EXPECT_EQ(a.capacity, 2u);
    EXPECT_EQ(static_cast<uint8_t*>(a.data)[0], 0xAB);
    Array_Free(&a);
}

TEST(Array, CreateWithCountAndReplacingBlock)
{
    Array a;
    Array_Init(&a);
    ASSERT_TRUE(Array_Create(&a, 4, 3, 8));
    EXPECT_EQ(a.count, 3u);
    uint32_t v = 5;
    Array_SetAt(&a, 2, &v);
    EXPECT_EQ(static_cast<uint32_t*>(a.data)[2], 5u);
    // A second create frees the first block (the sanitizer build would report a leak).
    ASSERT_TRUE(Array_Create(&a, 8, 0, 2));
    EXPECT_EQ(a.elementSize, 8u);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.capacity, 2u);
    Array_Free(&a);
}

TEST(Array, PushOnOnlyInitialisedArrayFails)
{
    Array a;
    Array_Init(&a);
    uint32_t v = 1;
    EXPECT_FALSE(Array_Push(&a, &v));
    EXPECT_EQ(a.data, nullptr);
    EXPECT_EQ(a.count, 0u);
    EXPECT_EQ(a.capacity, 0u);
}

TEST(Array, CreateRefusesBadArgumentsAndOversizedBlocks)
{
    Array a;
    Array_Init(&a);
    ASSERT_TRUE(Array_Create(&a, 4, 1, 4));
    void* block = a.data;
    static_cast<uint32_t*>(block)[0] = 0x11223344;

    struct Case {
        uint32_t elementSize, count, capacity;
    } cases[] = {
        {0x10000, 0, 0x10000},  // 2^32 bytes: wraps to 0 in 32 bits
        {0x80000000u, 0, 2},    // 2^32 bytes
        {0xFFFFFFFFu, 0, 0xFFFFFFFFu},
        {4, 0, 0},  // no slot at all
        {0, 0, 4},  // no element size
        {4, 5, 4},  // count beyond capacity
    };
    for (const Case& c : cases) {
        EXPECT_FALSE(Array_Create(&a, c.elementSize, c.count, c.capacity))
            << c.elementSize << " " << c.count << " " << c.capacity;
        EXPECT_EQ(a.data, block);
        EXPECT_EQ(a.elementSize, 4u);
        EXPECT_EQ(a.count, 1u);
        EXPECT_EQ(a.capacity, 4u);
    }
    EXPECT_EQ(static_cast<uint32_t*>(a.data)[0], 0x11223344u);
    Array_Free(&a);
}

TEST(Array, GrowthPastThirtyTwoBitsFailsAndKeepsContents)
{
    // Records whose next block would need 2^32 bytes or a capacity of 2^32. The push must
    // fail before allocating or copying, so a small real block stands in for the big one.
    uint8_t block[16] = {1, 2, 3};
    struct Case {
        uint32_t elementSize, count, capacity;
    } cases[] = {
        {0x80000000u, 0, 1},
        {0x40000000u, 1, 2},
        {1, 0x7FFFFFFFu, 0x80000000u},
        {1, 0xFFFFFFFEu, 0xFFFFFFFFu},
    };
    for (const Case& c : cases) {
        Array a;
        a.data = block;
        a.elementSize = c.elementSize;
        a.count = c.count;
        a.capacity = c.capacity;
        uint8_t element[16] = {};
        EXPECT_FALSE(Array_Push(&a, element)) << c.elementSize << " " << c.capacity;
        EXPECT_EQ(a.data, block);
        EXPECT_EQ(a.count, c.count);
        EXPECT_EQ(a.capacity, c.capacity);
    }
    EXPECT_EQ(block[0], 1);
}

// ---- Quicksort --------------------------------------------------------------

namespace {

struct Counted {
    std::vector<std::pair<int, uint32_t>> items;  // key, identity
    uint64_t compares = 0;
    uint64_t swaps = 0;
};

int CompareCounted(void* c, uint32_t i, uint32_t j, void* user)
{
    Counted* col = static_cast<Counted*>(c);
    EXPECT_EQ(user, static_cast<void*>(col));
    EXPECT_LT(i, col->items.size());
    EXPECT_LT(j, col->items.size());
    col->compares++;
    int a = col->items[i].first, b = col->items[j].first;
    return a < b ? -1 : (a > b ? 1 : 0);
}

void SwapCounted(void* c, uint32_t i, uint32_t j)
{
    Counted* col = static_cast<Counted*>(c);
    col->swaps++;
    std::swap(col->items[i], col->items[j]);
}

void SortAndCompareWithStd(const std::vector<int>& input, const char* what)
{
    Counted col;
    for (uint32_t i = 0; i < input.size(); i++) col.items.push_back({input[i], i});
    Algo_QuickSort(&col, static_cast<uint32_t>(input.size()), CompareCounted, &col, SwapCounted);

    std::vector<int> expected = input;
    std::sort(expected.begin(), expected.end());
    std::vector<int> keys;
    std::vector<uint32_t> ids;
    for (auto& p : col.items) {
        keys.push_back(p.first);
        ids.push_back(p.second);
    }
    EXPECT_EQ(keys, expected) << what << " n=" << input.size();
    // The same items, each once: the sort moved them only through the swap callback.
    std::sort(ids.begin(), ids.end());
    for (uint32_t i = 0; i < ids.size(); i++) ASSERT_EQ(ids[i], i) << what;
    // Middle pivot: sorted, reversed and all-equal inputs stay n log n.
    if (input.size() >= 1000) {
        EXPECT_LT(col.compares, 40 * input.size()) << what << " n=" << input.size();
    }
}

}  // namespace

TEST(QuickSort, SmallExampleWithDuplicates) { SortAndCompareWithStd({5, 1, 4, 1, 3}, "example"); }

TEST(QuickSort, MatchesStdSortOnManyShapes)
{
    std::mt19937 rng(1234);
    for (uint32_t n : {0u, 1u, 2u, 3u, 4u, 7u, 16u, 33u, 1000u, 50000u}) {
        std::vector<int> random(n), sorted(n), reversed(n), equal(n, 42), few(n);
        for (uint32_t i = 0; i < n; i++) {
            random[i] = static_cast<int>(rng());
            sorted[i] = static_cast<int>(i);
            reversed[i] = static_cast<int>(n - i);
            few[i] = static_cast<int>(rng() % 3) - 1;
        }
        SortAndCompareWithStd(random, "random");
        SortAndCompareWithStd(sorted, "sorted");
        SortAndCompareWithStd(reversed, "reversed");
        SortAndCompareWithStd(equal, "all equal");
        SortAndCompareWithStd(few, "three values");
    }
}

TEST(QuickSort, RangeSortsOnlyItsIndexes)
{
    Counted col;
    std::vector<int> keys = {9, 8, 7, 6, 5, 4, 3, 2, 1, 0};
    for (uint32_t i = 0; i < keys.size(); i++) col.items.push_back({keys[i], i});
    Algo_QuickSortRange(&col, 2, 6, CompareCounted, &col, SwapCounted);
    std::vector<int> got;
    for (auto& p : col.items) got.push_back(p.first);
    EXPECT_EQ(got, (std::vector<int>{9, 8, 3, 4, 5, 6, 7, 2, 1, 0}));
    // first == last and first > last do nothing.
    Algo_QuickSortRange(&col, 4, 4, CompareCounted, &col, SwapCounted);
    Algo_QuickSortRange(&col, 6, 2, CompareCounted, &col, SwapCounted);
    EXPECT_EQ(col.swaps, 2u);
}

namespace {

// An adversary in the manner of McIlroy's "killer adversary": values start undecided and are
// fixed the moment the sort compares two undecided ones, making the pivot (the second compare
// argument here) the largest value left. Replaying the fixed values gives an input on which
// the middle-pivot quicksort peels one element off per pass, leaving a lower part of n - 1.
struct Adversary {
    std::vector<uint32_t> at;    // item at each position
    std::vector<int64_t> value;  // per item; -1 while undecided
    int64_t nextHigh;
    uintptr_t lowestFrame = UINTPTR_MAX;
    uintptr_t highestFrame = 0;
};

int64_t ValueOf(const Adversary* a, uint32_t item) { return a->value[item]; }

int CompareAdversary(void* c, uint32_t i, uint32_t j, void*)
{
    Adversary* a = static_cast<Adversary*>(c);
    uintptr_t frame = reinterpret_cast<uintptr_t>(__builtin_frame_address(0));
    a->lowestFrame = std::min(a->lowestFrame, frame);
    a->highestFrame = std::max(a->highestFrame, frame);
    uint32_t x = a->at[i], y = a->at[j];
    if (a->value[x] < 0 && a->value[y] < 0) a->value[y] = a->nextHigh--;
    int64_t vx = ValueOf(a, x), vy = ValueOf(a, y);
    // Undecided values sort below every decided one.
    if (vx < 0 && vy >= 0) return -1;
    if (vx >= 0 && vy < 0) return 1;
    return vx < vy ? -1 : (vx > vy ? 1 : 0);
}

void SwapAdversary(void* c, uint32_t i, uint32_t j)
{
    Adversary* a = static_cast<Adversary*>(c);
    std::swap(a->at[i], a->at[j]);
}

}  // namespace

TEST(QuickSort, RecursionStaysShallowOnAdversarialInput)
{
    const uint32_t n = 3000;
    Adversary adv;
    for (uint32_t i = 0; i < n; i++) adv.at.push_back(i);
    adv.value.assign(n, -1);
    adv.nextHigh = 1000000;
    Algo_QuickSort(&adv, n, CompareAdversary, nullptr, SwapAdversary);
    // Fix the values still undecided below all others, in any order.
    int64_t low = 0;
    for (auto& v : adv.value)
        if (v < 0) v = low++;

    // Replay on the fixed input: the same compares, now of plain values.
    Adversary replay;
    for (uint32_t i = 0; i < n; i++) replay.at.push_back(i);
    replay.value = adv.value;
    replay.nextHigh = -1;
    Algo_QuickSort(&replay, n, CompareAdversary, nullptr, SwapAdversary);
    for (uint32_t i = 1; i < n; i++)
        ASSERT_LE(replay.value[replay.at[i - 1]], replay.value[replay.at[i]]) << i;
    // The input forces n passes; recursing into the smaller part keeps the stack to a few
    // frames (a lower-part recursion would go about 3000 frames deep).
    EXPECT_LT(replay.highestFrame - replay.lowestFrame, 16384u);
}

// ---- Binary search ------------------------------------------------------------

namespace {

int CompareIntKey(const void* c, uint32_t index, const void* key, void* user)
{
    const int32_t* v = static_cast<const int32_t*>(c);
    int32_t k = *static_cast<const int32_t*>(key);
    if (user) ++*static_cast<uint32_t*>(user);
    return v[index] < k ? -1 : (v[index] > k ? 1 : 0);
}

}  // namespace

TEST(BinarySearch, SmallTable)
{
    const int32_t keys[] = {10, 20, 30};
    struct Case {
        int32_t key;
        int64_t expected;
    } cases[] = {{10, 0}, {20, 1}, {30, 2},         {25, 1},       {15, 0},
                 {5, -1}, {35, 2}, {INT32_MIN, -1}, {INT32_MAX, 2}};
    for (const Case& c : cases)
        EXPECT_EQ(Algo_BinarySearch(keys, 3, &c.key, CompareIntKey, nullptr), c.expected) << c.key;
    int32_t k = 20;
    EXPECT_EQ(Algo_BinarySearch(keys, 0, &k, CompareIntKey, nullptr), -1);
    EXPECT_EQ(Algo_BinarySearch(keys, 1, &k, CompareIntKey, nullptr), 0);
    k = 9;
    EXPECT_EQ(Algo_BinarySearch(keys, 1, &k, CompareIntKey, nullptr), -1);
}

TEST(BinarySearch, AgreesWithPythonBisect)
{
    if (!HaveTool("python3")) GTEST_SKIP() << "python3 not available";
    // Tables of many sizes, heavy on duplicates, with keys below, between, on and above.
    std::mt19937 rng(99);
    std::vector<std::vector<int32_t>> tables = {
        {}, {5}, {5, 5}, {1, 1, 1, 1, 1, 1, 1}, {1, 2, 2, 2, 3}, {0, 0, 0, 9, 9, 9, 9}};
    for (int t = 0; t < 60; t++) {
        std::vector<int32_t> v(rng() % 70);
        for (auto& x : v)
            x = static_cast<int32_t>(rng() % 40) * 2;  // even values: odd keys fall between
        std::sort(v.begin(), v.end());
        tables.push_back(v);
    }
    std::vector<std::pair<size_t, int32_t>> queries;
    for (size_t t = 0; t < tables.size(); t++)
        for (int32_t k = -3; k <= 83; k++) queries.push_back({t, k});

    TempDir dir;
    std::ostringstream in;
    for (auto& q : queries) {
        in << q.second;
        for (int32_t x : tables[q.first]) in << ' ' << x;
        in << '\n';
    }
    WriteText(dir.file("queries.txt"), in.str());
    WriteText(dir.file("oracle.py"),
              "import bisect, sys\n"
              "for line in open(sys.argv[1]):\n"
              "    f = [int(x) for x in line.split()]\n"
              "    k, a = f[0], f[1:]\n"
              "    print(bisect.bisect_left(a, k), bisect.bisect_right(a, k))\n");
    std::string out;
    ASSERT_EQ(
        RunCommand("python3 " + Quote(dir.file("oracle.py")) + " " + Quote(dir.file("queries.txt")),
                   &out),
        0);
    std::istringstream answers(out);
    for (auto& q : queries) {
        int64_t left = -1, right = -1;
        ASSERT_TRUE(answers >> left >> right);
        const std::vector<int32_t>& v = tables[q.first];
        uint32_t calls = 0;
        int64_t got = Algo_BinarySearch(v.data(), static_cast<uint32_t>(v.size()), &q.second,
                                        CompareIntKey, &calls);
        if (left < right) {
            // A hit: any of the equal elements.
            EXPECT_GE(got, left) << "key " << q.second << " table " << q.first;
            EXPECT_LT(got, right) << "key " << q.second << " table " << q.first;
        } else {
            EXPECT_EQ(got, right - 1) << "key " << q.second << " table " << q.first;
        }
        EXPECT_LE(calls, 2u + 2u * 7u);  // logarithmic
    }
}

namespace {

// A virtual sorted collection: element i is i itself.
int CompareIdentity(const void*, uint32_t index, const void* key, void*)
{
    uint64_t k = *static_cast<const uint64_t*>(key);
    return index < k ? -1 : (index > k ? 1 : 0);
}

}  // namespace

TEST(BinarySearch, IndexesBeyondTwoToThe31)
{
    const uint32_t n = UINT32_MAX;
    uint64_t key = 0xFFFFFFF0u;
    EXPECT_EQ(Algo_BinarySearch(nullptr, n, &key, CompareIdentity, nullptr), 0xFFFFFFF0);
    key = 0x80000001u;
    EXPECT_EQ(Algo_BinarySearch(nullptr, n, &key, CompareIdentity, nullptr), 0x80000001);
    key = uint64_t(1) << 40;
    EXPECT_EQ(Algo_BinarySearch(nullptr, n, &key, CompareIdentity, nullptr), int64_t(n) - 1);
    key = 0;
    EXPECT_EQ(Algo_BinarySearch(nullptr, n, &key, CompareIdentity, nullptr), 0);
}

// ---- Array sort and search together -------------------------------------------

namespace {

int CompareRec(void* c, uint32_t i, uint32_t j, void*)
{
    const Rec* r = static_cast<const Rec*>(c);
    return r[i].key < r[j].key ? -1 : (r[i].key > r[j].key ? 1 : 0);
}

void SwapRec(void* c, uint32_t i, uint32_t j)
{
    Rec* r = static_cast<Rec*>(c);
    std::swap(r[i], r[j]);
}

int CompareRecKey(const void* c, uint32_t index, const void* key, void*)
{
    const Rec* r = static_cast<const Rec*>(c);
    uint32_t k = *static_cast<const uint32_t*>(key);
    return r[index].key < k ? -1 : (r[index].key > k ? 1 : 0);
}

}  // namespace

TEST(Array, SortThenBinarySearchOverBlock)
{
    Array a;
    Array_Init(&a);
    ASSERT_TRUE(Array_CreateEmpty(&a, sizeof(Rec), 16));
    std::mt19937 rng(5);
    std::vector<uint32_t> keys;
    for (uint32_t i = 0; i < 500; i++) {
        Rec r{static_cast<uint32_t>(rng() % 100000) * 3, i};
        keys.push_back(r.key);
        ASSERT_TRUE(Array_Push(&a, &r));
    }
    Array_Sort(&a, CompareRec, nullptr, SwapRec);
    const Rec* d = static_cast<const Rec*>(a.data);
    for (uint32_t i = 1; i < a.count; i++) ASSERT_LE(d[i - 1].key, d[i].key);
    for (uint32_t i = 0; i < a.count; i++) ASSERT_EQ(keys[d[i].payload], d[i].key);

    for (uint32_t k : keys) {
        int64_t at = Array_BinarySearch(&a, &k, CompareRecKey, nullptr);
        ASSERT_GE(at, 0);
        EXPECT_EQ(d[at].key, k);
        uint32_t between = k + 1;  // keys are multiples of 3
        at = Array_BinarySearch(&a, &between, CompareRecKey, nullptr);
        ASSERT_GE(at, 0);
        EXPECT_LT(d[at].key, between);
        if (at + 1 < int64_t(a.count)) {
            EXPECT_GT(d[at + 1].key, between);
        }
    }
    Array_Free(&a);

    Array empty;
    Array_Init(&empty);
    uint32_t k = 1;
    EXPECT_EQ(Array_BinarySearch(&empty, &k, CompareRecKey, nullptr), -1);
    Array_Sort(&empty, CompareRec, nullptr, SwapRec);  // nothing to do, nothing touched
}
