// Plain storage for large arrays, backed by transparent huge pages where the system offers them.
#include "base/array_storage.h"

#include <sys/mman.h>

#include <cstdlib>

static constexpr size_t hugePageBytes = size_t(2) << 20;

void* allocatePlainStorage(size_t bytes) {
    if (bytes < hugePageBytes) {
        void* storage = std::malloc(bytes > 0 ? bytes : 1);
        if (!storage) throw std::bad_alloc();
        return storage;
    }
    void* storage = nullptr;
    if (posix_memalign(&storage, hugePageBytes, bytes) != 0) throw std::bad_alloc();
    // Only advice: a kernel without transparent huge pages, or with them switched off, keeps small pages.
    madvise(storage, bytes - bytes % hugePageBytes, MADV_HUGEPAGE);
    return storage;
}

void freePlainStorage(void* storage) { std::free(storage); }
