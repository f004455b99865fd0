#include "foundation/array.h"

#include "foundation/platform.h"

#include <cstring>

namespace {

// Size of a block of count units of unitSize bytes, when Mem_Alloc can serve it.
bool BlockBytes(uint64_t count, uint64_t unitSize, uint32_t* bytes)
{
    uint64_t total;
    if (!Math_MulU64(count, unitSize, &total) || total > UINT32_MAX) return false;
    *bytes = static_cast<uint32_t>(total);
    return true;
}

}  // namespace

// ---- Pointer array --------------------------------------------------------

void PtrArray_Init(PtrArray* array)
{
    array->items = nullptr;
    array->count = 0;
    array->capacity = 0;
}

bool PtrArray_Reserve(PtrArray* array, uint32_t n)
{
    if (array->items != nullptr && n <= array->capacity) return true;
    uint64_t capacity;
    if (array->items == nullptr) {
        capacity = n > 16 ? n : 16;
    } else {
        capacity = array->capacity != 0 ? array->capacity : 16;
        while (capacity < n) capacity *= 2;  // n < 2^32: no wrap in 64 bits
    }
    if (capacity > UINT32_MAX) return false;
    uint32_t bytes;
    if (!BlockBytes(capacity, sizeof(void*), &bytes)) return false;
    void** items = static_cast<void**>(Mem_Alloc(bytes));
    if (items == nullptr) return false;
    if (array->items != nullptr) {
        if (array->count != 0) memcpy(items, array->items, sizeof(void*) * array->count);
        Mem_Free(array->items);
    }
    array->items = items;
    array->capacity = static_cast<uint32_t>(capacity);
    return true;
}

bool PtrArray_Push(PtrArray* array, void* item)
{
    if (array->count == UINT32_MAX) return false;
    if (!PtrArray_Reserve(array, array->count + 1)) return false;
    array->items[array->count++] = item;
    return true;
}

uint32_t PtrArray_GetCount(const PtrArray* array) { return array->count; }

void* PtrArray_Get(const PtrArray* array, uint32_t index) { return array->items[index]; }

void* PtrArray_GetLast(const PtrArray* array) { return array->items[array->count - 1]; }

void PtrArray_Free(PtrArray* array)
{
    Mem_Free(array->items);
    PtrArray_Init(array);
}

// ---- Array of fixed-size elements -------------------------------------------

void Array_Init(Array* array)
{
    array->data = nullptr;
    array->elementSize = 0;
    array->count = 0;
    array->capacity = 0;
}

bool Array_Create(Array* array, uint32_t elementSize, uint32_t count, uint32_t capacity)
{
    if (elementSize == 0 || capacity == 0 || count > capacity) return false;
    uint32_t bytes;
    if (!BlockBytes(capacity, elementSize, &bytes)) return false;
    void* data = Mem_Alloc(bytes);
    if (data == nullptr) return false;
    Mem_Free(array->data);
    array->data = data;
    array->elementSize = elementSize;
    array->count = count;
    array->capacity = capacity;
    return true;
}

bool Array_CreateEmpty(Array* array, uint32_t elementSize, uint32_t capacity)
{
    return Array_Create(array, elementSize, 0, capacity);
}

void Array_SetAt(Array* array, uint32_t index, const void* element)
{
    memcpy(static_cast<uint8_t*>(array->data) + static_cast<uint64_t>(index) * array->elementSize,
           element, array->elementSize);
}

bool Array_Push(Array* array, const void* element)
{
    if (array->data == nullptr || array->elementSize == 0) return false;
    uint64_t needed = static_cast<uint64_t>(array->count) + 1;
    if (needed >= array->capacity) {
        uint64_t capacity = static_cast<uint64_t>(array->capacity) * 2;
        if (capacity <= needed) capacity = needed + 1;
        if (capacity > UINT32_MAX) return false;
        uint32_t bytes;
        if (!BlockBytes(capacity, array->elementSize, &bytes)) return false;
        void* data = Mem_Alloc(bytes);
        if (data == nullptr) return false;
        memcpy(data, array->data, static_cast<size_t>(array->count) * array->elementSize);
        Mem_Free(array->data);
        array->data = data;
        array->capacity = static_cast<uint32_t>(capacity);
    }
    Array_SetAt(array, array->count, element);
    array->count++;
    return true;
}

bool Array_RemoveLast(Array* array)
{
    if (array->count == 0) return false;
    array->count--;
    return true;
}

void Array_Free(Array* array)
{
    Mem_Free(array->data);
    Array_Init(array);
}

// ---- Sorting and searching ------------------------------------------------

void Algo_QuickSortRange(void* collection, uint32_t first, uint32_t last, Algo_CompareFn compare,
                         void* user, Algo_SwapFn swap)
{
    // Signed 64-bit bounds: j may step below index 0 without wrapping.
    int64_t lo = first;
    int64_t hi = last;
    while (lo < hi) {
        int64_t i = lo;
        int64_t j = hi;
        int64_t pivot = lo + (hi - lo) / 2;
        while (i <= j) {
            // The bounds keep the scans inside the range even for an inconsistent compare.
            while (i < hi && compare(collection, uint32_t(i), uint32_t(pivot), user) < 0) i++;
            while (j > lo && compare(collection, uint32_t(j), uint32_t(pivot), user) > 0) j--;
            if (i <= j) {
                if (i != j) {
                    swap(collection, uint32_t(i), uint32_t(j));
                    // Follow the pivot element as it moves.
                    if (pivot == i)
                        pivot = j;
                    else if (pivot == j)
                        pivot = i;
                }
                i++;
                j--;
            }
        }
        // [lo, j] and [i, hi] are both strictly smaller than [lo, hi]. Recurse into the smaller
        // part and continue with the larger one, so the depth stays logarithmic.
        if (j - lo < hi - i) {
            if (lo < j)
                Algo_QuickSortRange(collection, uint32_t(lo), uint32_t(j), compare, user, swap);
            lo = i;
        } else {
            if (i < hi)
                Algo_QuickSortRange(collection, uint32_t(i), uint32_t(hi), compare, user, swap);
            hi = j;
        }
    }
}

void Algo_QuickSort(void* collection, uint32_t count, Algo_CompareFn compare, void* user,
                    Algo_SwapFn swap)
{
    if (count < 2) return;
    Algo_QuickSortRange(collection, 0, count - 1, compare, user, swap);
}

int64_t Algo_BinarySearch(const void* collection, uint32_t count, const void* key,
                          Algo_KeyCompareFn compare, void* user)
{
    if (count == 0) return -1;
    uint32_t lo = 0;
    uint32_t hi = count - 1;
    while (lo < hi) {
        uint32_t mid = lo + (hi - lo) / 2;
        int c = compare(collection, mid, key, user);
        if (c < 0) {
            lo = mid + 1;
        } else if (c == 0) {
            return mid;
        } else {
            if (mid == 0) break;
            hi = mid - 1;
        }
    }
    if (compare(collection, lo, key, user) <= 0) return lo;
    return static_cast<int64_t>(lo) - 1;
}

void Array_Sort(Array* array, Algo_CompareFn compare, void* user, Algo_SwapFn swap)
{
    Algo_QuickSort(array->data, array->count, compare, user, swap);
}

int64_t Array_BinarySearch(const Array* array, const void* key, Algo_KeyCompareFn compare,
                           void* user)
{
    return Algo_BinarySearch(array->data, array->count, key, compare, user);
}
