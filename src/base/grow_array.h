// The growable array behind every list of the program: owned storage, deep copies, doubling growth.
#pragma once

#include <cassert>
#include <cstdint>
#include <new>
#include <utility>

#include "base/array_storage.h"

// `items` holds `capacity` constructed items, of which the first `count` are in use.
// Appending to a full array grows it to 1, then 2, 4, 8, ... items.
template <typename T>
struct GrowArray {
    T* items = nullptr;
    int32_t count = 0;
    int32_t capacity = 0;

    GrowArray() = default;
    GrowArray(const GrowArray& other);
    GrowArray(GrowArray&& other) noexcept
        : items(other.items), count(other.count), capacity(other.capacity) {
        other.items = nullptr;
        other.count = other.capacity = 0;
    }
    GrowArray& operator=(const GrowArray& other) {
        if (this != &other) {
            GrowArray copy(other);
            *this = std::move(copy);
        }
        return *this;
    }
    GrowArray& operator=(GrowArray&& other) noexcept {
        std::swap(items, other.items);
        std::swap(count, other.count);
        std::swap(capacity, other.capacity);
        return *this;
    }
    ~GrowArray() { deleteArray(items); }

    T& operator[](int32_t i) { assert(i >= 0 && i < count); return items[i]; }
    const T& operator[](int32_t i) const { assert(i >= 0 && i < count); return items[i]; }
    T* begin() { return items; }
    T* end() { return items + count; }
    const T* begin() const { return items; }
    const T* end() const { return items + count; }
};

// Makes room for at least n items (never fewer than `count`); `count` is unchanged.
template <typename T>
void reserve(GrowArray<T>& array, int32_t n) {
    if (n < array.count) n = array.count;
    if (array.capacity >= n) return;
    T* storage = newArray<T>(n);
    for (int32_t i = 0; i < array.count; ++i) storage[i] = std::move(array.items[i]);
    deleteArray(array.items);
    array.items = storage;
    array.capacity = n;
}

// Sets `count` to n (n >= count); new items are default-constructed.
template <typename T>
void resize(GrowArray<T>& array, int32_t n) {
    reserve(array, n);
    array.count = n;
}

// The capacity after the next growth: 1, then twice the current one. Doubling past 2^30 items would
// overflow the 32-bit count, so such an array is out of memory.
inline int32_t grownCapacity(int32_t capacity) {
    if (capacity > INT32_MAX / 2) throw std::bad_alloc();
    return capacity <= 0 ? 1 : capacity * 2;
}

// Copies `item` to the end, doubling the capacity when the array is full.
template <typename T>
void append(GrowArray<T>& array, const T& item) {
    if (array.count >= array.capacity) reserve(array, grownCapacity(array.capacity));
    array.items[array.count++] = item;
}

template <typename T>
void append(GrowArray<T>& array, T&& item) {
    if (array.count >= array.capacity) reserve(array, grownCapacity(array.capacity));
    array.items[array.count++] = std::move(item);
}

// Destroys all items and frees the storage.
template <typename T>
void release(GrowArray<T>& array) {
    deleteArray(array.items);
    array.items = nullptr;
    array.count = array.capacity = 0;
}

// Empties the array but keeps its storage (items beyond `count` keep whatever they held).
template <typename T>
void clear(GrowArray<T>& array) {
    array.count = 0;
}

template <typename T>
GrowArray<T>::GrowArray(const GrowArray& other) {
    if (other.count == 0) return;
    items = newArray<T>(other.count);
    capacity = other.count;
    for (int32_t i = 0; i < other.count; ++i) items[i] = other.items[i];
    count = other.count;
}
