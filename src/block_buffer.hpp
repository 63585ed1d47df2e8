// The memory that blocks of input are read into.
#pragma once

#include <cstddef>
#include <cstdint>

namespace bytehunt {

// A buffer of `size` bytes, allocated once; throws std::bad_alloc when the
// memory cannot be had.
class block_buffer {
public:
    explicit block_buffer(std::size_t size);
    ~block_buffer();
    block_buffer(const block_buffer&) = delete;
    block_buffer& operator=(const block_buffer&) = delete;

    std::uint8_t* data() { return data_; }
    std::size_t size() const { return size_; }

private:
    std::uint8_t* data_;
    std::size_t size_;
};

}  // namespace bytehunt
