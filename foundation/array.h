// Growable arrays (of pointers and of fixed-size elements), an index-based quicksort and a
// binary search that work on any collection through callbacks.
//
// The arrays own their blocks, never the items. Growth arithmetic is checked: a size that
// does not fit answers false and leaves the array as it was.
#pragma once

#include <cstdint>

// ---- Pointer array --------------------------------------------------------
struct PtrArray {
    void** items;  // block of capacity pointers; NULL when empty
    uint32_t count;
    uint32_t capacity;  // in items
};

void PtrArray_Init(PtrArray* array);
// Makes room for n items: the first block holds max(n, 16) items, later blocks double the
// capacity until it reaches n. False when memory is exhausted or the size does not fit.
bool PtrArray_Reserve(PtrArray* array, uint32_t n);
bool PtrArray_Push(PtrArray* array, void* item);
uint32_t PtrArray_GetCount(const PtrArray* array);
// The index must be below the count.
void* PtrArray_Get(const PtrArray* array, uint32_t index);
// The array must not be empty.
void* PtrArray_GetLast(const PtrArray* array);
// Frees the block (not the items) and returns to the empty state.
void PtrArray_Free(PtrArray* array);

// ---- Array of fixed-size elements -------------------------------------------
struct Array {
    void* data;            // block of capacity elements; NULL when empty
    uint32_t elementSize;  // in bytes
    uint32_t count;
    uint32_t capacity;  // in elements
};

void Array_Init(Array* array);
// Allocates elementSize x capacity bytes, frees any block already held and sets the fields.
// False (array unchanged) when memory is exhausted, the size does not fit, the element size
// or capacity is 0, or count exceeds capacity.
bool Array_Create(Array* array, uint32_t elementSize, uint32_t count, uint32_t capacity);
bool Array_CreateEmpty(Array* array, uint32_t elementSize, uint32_t capacity);
// Copies one element into the slot at index (index must be below the capacity).
void Array_SetAt(Array* array, uint32_t index, const void* element);
// Appends a copy of the element. The block doubles when the push would leave no free slot
// behind the new element. False when the array has no block (only initialised), memory is
// exhausted or the new size does not fit.
bool Array_Push(Array* array, const void* element);
// False when the array is already empty.
bool Array_RemoveLast(Array* array);
void Array_Free(Array* array);

// ---- Sorting and searching ------------------------------------------------
// Answers negative, 0 or positive as element i sorts before, with or after element j.
typedef int (*Algo_CompareFn)(void* collection, uint32_t i, uint32_t j, void* user);
// Exchanges elements i and j.
typedef void (*Algo_SwapFn)(void* collection, uint32_t i, uint32_t j);
// Answers negative, 0 or positive as the element at index sorts before, equal to or after key.
typedef int (*Algo_KeyCompareFn)(const void* collection, uint32_t index, const void* key,
                                 void* user);

// Sorts indexes 0 to count - 1 by comparing and swapping through the callbacks (not stable).
void Algo_QuickSort(void* collection, uint32_t count, Algo_CompareFn compare, void* user,
                    Algo_SwapFn swap);
// Sorts indexes first to last inclusive.
void Algo_QuickSortRange(void* collection, uint32_t first, uint32_t last, Algo_CompareFn compare,
                         void* user, Algo_SwapFn swap);
// Over a collection sorted by the compare callback: the index of an element equal to the key
// when one is met, otherwise the index of the last element before the key, and -1 when every
// element sorts after it (or the collection is empty).
int64_t Algo_BinarySearch(const void* collection, uint32_t count, const void* key,
                          Algo_KeyCompareFn compare, void* user);

// Sorts the array's elements; the callbacks receive the array's data block as collection.
void Array_Sort(Array* array, Algo_CompareFn compare, void* user, Algo_SwapFn swap);
// Algo_BinarySearch over the array's data block and count.
int64_t Array_BinarySearch(const Array* array, const void* key, Algo_KeyCompareFn compare,
                           void* user);
