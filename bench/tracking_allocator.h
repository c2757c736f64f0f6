// A zelkc_cip allocator for the benchmarks that tracks the library's live and peak heap bytes.
// Install it with zelkc_cip_allocator_set_default(&tracking_allocator) before any client exists.
#pragma once

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "zelkc_cip.h"

namespace {

struct TrackingAllocator {
    static inline size_t live = 0;
    static inline size_t peak = 0;
    static void* header(void* p, size_t size) {
        *static_cast<size_t*>(p) = size;
        live += size;
        peak = std::max(peak, live);
        return static_cast<char*>(p) + 16;
    }
    static void* alloc(void*, uint64_t size) {
        void* p = std::malloc(size + 16);
        return p == nullptr ? nullptr : header(p, size);
    }
    static void* realloc(void*, void* block, uint64_t size) {
        if (block == nullptr) {
            return alloc(nullptr, size);
        }
        char* base = static_cast<char*>(block) - 16;
        const size_t old = *reinterpret_cast<size_t*>(base);
        void* p = std::realloc(base, size + 16);
        if (p == nullptr) {
            return nullptr;
        }
        live -= old;
        return header(p, size);
    }
    static void free(void*, void* block) {
        if (block == nullptr) {
            return;
        }
        char* base = static_cast<char*>(block) - 16;
        live -= *reinterpret_cast<size_t*>(base);
        std::free(base);
    }
};

const zelkc_cip_allocator tracking_allocator{TrackingAllocator::alloc, TrackingAllocator::realloc,
                                             TrackingAllocator::free, nullptr};

} // namespace
