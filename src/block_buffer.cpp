#include "block_buffer.hpp"

#include <cstdlib>
#include <new>

#if defined(__linux__)
#include <sys/mman.h>
#endif

namespace bytehunt {

block_buffer::block_buffer(std::size_t size) : data_(nullptr), size_(size) {
#if defined(__linux__) && defined(MADV_HUGEPAGE)
    // Only worth a whole huge page when the buffer is a good part of one.
    constexpr std::size_t huge_page = std::size_t{2} << 20;
    if (size >= huge_page / 8) {
        const std::size_t rounded = (size + huge_page - 1) / huge_page * huge_page;
        void* memory = nullptr;
        if (posix_memalign(&memory, huge_page, rounded) == 0) {
            (void)madvise(memory, rounded, MADV_HUGEPAGE);  // a hint; refused means small pages
            data_ = static_cast<std::uint8_t*>(memory);
            return;
        }
    }
#endif
    data_ = static_cast<std::uint8_t*>(std::malloc(size));
    if (data_ == nullptr) throw std::bad_alloc();
}

block_buffer::~block_buffer() {
    std::free(data_);
}

}  // namespace bytehunt
