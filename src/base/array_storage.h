// Storage of the program's arrays. Arrays of plain values (texels, moments, matrix coefficients) reach hundreds of
// megabytes; from 2 MB on they are aligned to 2 MB and the kernel is asked to back them with transparent huge
// pages, which takes filling them from one page fault per 4 KB to one per 2 MB.
#pragma once

#include <cstddef>
#include <cstdint>
#include <new>
#include <type_traits>

// `bytes` of uninitialised storage; throws std::bad_alloc when it cannot be had.
void* allocatePlainStorage(size_t bytes);
// Frees storage from allocatePlainStorage (nullptr is allowed).
void freePlainStorage(void* storage);

// Values that can live in plain storage: copied bit by bit and destroyed by doing nothing.
template <typename T>
constexpr bool isPlainValue = std::is_trivially_copyable_v<T> && std::is_trivially_destructible_v<T>;

// n default-initialised items (n >= 1), from plain storage where T allows it, else from new[].
template <typename T>
T* newArray(int64_t n) {
    if constexpr (isPlainValue<T>) {
        T* items = static_cast<T*>(allocatePlainStorage(sizeof(T) * static_cast<size_t>(n)));
        if constexpr (!std::is_trivially_default_constructible_v<T>) {
            for (int64_t i = 0; i < n; ++i) new (items + i) T;
        }
        return items;
    } else {
        return new T[static_cast<size_t>(n)];
    }
}

// Frees what newArray returned (nullptr is allowed).
template <typename T>
void deleteArray(T* items) {
    if constexpr (isPlainValue<T>) {
        freePlainStorage(items);
    } else {
        delete[] items;
    }
}
