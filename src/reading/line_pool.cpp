#include "reading/line_pool.hpp"

#include <cstdint>

#if !defined(_WIN32)
#include <sys/mman.h>
#endif

#include "reading/file_access.hpp"

namespace bytehunt {

// Under AddressSanitizer lines come from the heap, each block its own size,
// so that a line written past its room is caught.
#if defined(__SANITIZE_ADDRESS__)
#define BYTEHUNT_POOL 0
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define BYTEHUNT_POOL 0
#endif
#endif
#if !defined(BYTEHUNT_POOL) && defined(_WIN32)
#define BYTEHUNT_POOL 0
#elif !defined(BYTEHUNT_POOL)
#define BYTEHUNT_POOL 1
#endif

line_pool::line_pool(std::size_t slot_size, std::size_t slots) : slot_size_(slot_size) {
#if BYTEHUNT_POOL
    // One large page more than the slots, so that they can start on one.
    const std::size_t size = slot_size * slots + large_page;
    void* const region = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (region == MAP_FAILED) return;  // no pool: lines come from the heap
    region_ = region;
    region_size_ = size;
    const auto address = reinterpret_cast<std::uintptr_t>(region);
    char* const first = static_cast<char*>(region) + (large_page - address % large_page) % large_page;
#if defined(MADV_HUGEPAGE)
    // A hint: where the system keeps no large pages, slots fault in 4 KiB
    // at a time, as the heap's memory would.
    (void)madvise(first, slot_size * slots, MADV_HUGEPAGE);
#endif
    free_.reserve(slots);
    for (std::size_t k = slots; k-- > 0;) free_.push_back(first + k * slot_size);
#else
    (void)slots;
#endif
}

line_pool::~line_pool() {
#if !defined(_WIN32)
    if (region_ != nullptr) munmap(region_, region_size_);  // none where there is no pool
#endif
}

char* line_pool::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    if (free_.empty()) return nullptr;
    char* const slot = free_.back();
    free_.pop_back();
    return slot;
}

void line_pool::give(char* slot) {
    const std::lock_guard<std::mutex> lock(mutex_);
    free_.push_back(slot);  // never beyond the reserved room: every slot came from here
}

pooled_lines lines_room(std::size_t needed, line_pool* pool) {
    // Few lines take little of the heap's memory, and no large page of
    // their own: sparse output has no slot faulted in for it.
    if (pool != nullptr && needed >= pool->slot_size() / 4 && needed <= pool->slot_size()) {
        if (char* const slot = pool->take()) return pooled_lines(slot, lines_release{pool});
    }
    return pooled_lines(new char[needed]);
}

}  // namespace bytehunt
