#include "block_buffer.hpp"

#include <cstdlib>
#include <new>

namespace bytehunt {

// Plain pages: a transparent huge page would be zeroed whole (2 MiB for a
// buffer of at most about 1 MiB) and, right after the page cache was
// dropped, costs more to bring in than its fewer TLB entries save.
block_buffer::block_buffer(std::size_t size)
    : data_(static_cast<std::uint8_t*>(std::malloc(size))), size_(size) {
    if (data_ == nullptr) throw std::bad_alloc();
}

block_buffer::~block_buffer() {
    std::free(data_);
}

}  // namespace bytehunt
