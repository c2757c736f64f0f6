// Allocation hooks: every heap block of the library goes through one replaceable allocator record.
#include "zelkc_cip.h"

#include <stdlib.h>

void* zelkc_cip_alloc_system(void* /*user_data*/, uint64_t size) {
    if (size == 0 || size > SIZE_MAX)
        return nullptr;
    return malloc(static_cast<size_t>(size));
}

void* zelkc_cip_realloc_system(void* /*user_data*/, void* block, uint64_t size) {
    // Size 0 must not free the block (realloc(p, 0) may), so the caller keeps a valid block.
    if (size == 0 || size > SIZE_MAX)
        return nullptr;
    return realloc(block, static_cast<size_t>(size));
}

void zelkc_cip_free_system(void* /*user_data*/, void* block) {
    free(block);
}

static const zelkc_cip_allocator system_allocator = {zelkc_cip_alloc_system, zelkc_cip_realloc_system,
                                                     zelkc_cip_free_system, nullptr};

static const zelkc_cip_allocator* default_allocator = &system_allocator;

void* zelkc_cip_alloc(uint64_t size) {
    const zelkc_cip_allocator* a = default_allocator;
    if (a == nullptr || a->alloc == nullptr)
        return nullptr;
    return a->alloc(a->user_data, size);
}

void* zelkc_cip_realloc(void* block, uint64_t size) {
    const zelkc_cip_allocator* a = default_allocator;
    if (a == nullptr || a->realloc == nullptr)
        return nullptr;
    return a->realloc(a->user_data, block, size);
}

void zelkc_cip_free(void* block) {
    const zelkc_cip_allocator* a = default_allocator;
    if (a == nullptr || a->free == nullptr)
        return;
    a->free(a->user_data, block);
}

const zelkc_cip_allocator* zelkc_cip_allocator_get_default(void) {
    return default_allocator;
}

void zelkc_cip_allocator_set_default(const zelkc_cip_allocator* allocator) {
    if (allocator == nullptr) {
        default_allocator = &system_allocator;
        return;
    }
    if (allocator->alloc == nullptr || allocator->realloc == nullptr || allocator->free == nullptr)
        return;
    default_allocator = allocator;
}
