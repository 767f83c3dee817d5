// The parallel accumulate-then-merge pattern of the least-squares assemblies: every thread sums its
// share of the terms into its own accumulator, and the accumulators are merged one at a time.
#pragma once

#include <omp.h>

#include <atomic>
#include <cstdint>
#include <new>

// Runs `fill(own, thread, threadCount)` once on every thread of one parallel region. With more than
// one thread, each thread fills its own `Own`, made ready by `prepare(own)`, and hands it to
// `merge(own)` inside the critical section, which adds it to the shared sums (threads merge in
// whatever order they finish). A lone thread gets `own` = nullptr and fills the shared sums
// itself, so its sums are added in exactly the order of a serial loop. An exception cannot leave a
// parallel region, so exhausted memory is noted there and rethrown once every thread is done.
template <typename Own, typename Prepare, typename Fill, typename Merge>
void accumulateInParallel(Prepare prepare, Fill fill, Merge merge) {
    std::atomic<bool> outOfMemory(false);
#pragma omp parallel
    {
        const int32_t threadCount = omp_get_num_threads();
        const int32_t thread = omp_get_thread_num();
        Own own;
        bool filled = false;
        try {
            if (threadCount > 1) prepare(own);
            fill(threadCount > 1 ? &own : nullptr, thread, threadCount);
            filled = true;
        } catch (const std::bad_alloc&) {
            outOfMemory = true;
        }
#pragma omp critical
        {
            try {
                if (filled && threadCount > 1) merge(own);
            } catch (const std::bad_alloc&) {
                outOfMemory = true;
            }
        }
    }
    if (outOfMemory) throw std::bad_alloc();
}
