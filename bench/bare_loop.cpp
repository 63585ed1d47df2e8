// The machine's limit for reading a file: touches every byte with vector
// loads and nothing else. "read" reads into a 1 MiB buffer; "map" maps the
// whole file once and releases the pages behind the loop, so that memory
// stays bounded. Prints the xor of all words so that the loads stay.
// Usage: bare_loop read|map FILE
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstring>
#include <vector>

namespace {

using word = std::uint64_t __attribute__((vector_size(64), aligned(1)));

word touch(const std::uint8_t* data, std::size_t length, word acc) {
    std::size_t i = 0;
    for (; length - i >= 64; i += 64) acc ^= *reinterpret_cast<const word*>(data + i);
    for (; i < length; ++i) acc[0] ^= data[i];
    return acc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        std::fprintf(stderr, "usage: bare_loop read|map FILE\n");
        return 1;
    }
    const int fd = open(argv[2], O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) return 2;
    word acc{};
    if (std::strcmp(argv[1], "read") == 0) {
        std::vector<std::uint8_t> buffer(1 << 20);
        for (ssize_t got; (got = read(fd, buffer.data(), buffer.size())) > 0;)
            acc = touch(buffer.data(), static_cast<std::size_t>(got), acc);
    } else {
        const auto size = static_cast<std::size_t>(info.st_size);
        if (size > 0) {
            auto* data = static_cast<std::uint8_t*>(mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0));
            if (data == MAP_FAILED) return 2;
            constexpr std::size_t step = std::size_t{4} << 20;
            for (std::size_t at = 0; at < size; at += step) {
                const std::size_t length = size - at < step ? size - at : step;
                acc = touch(data + at, length, acc);
                madvise(data + at, length, MADV_DONTNEED);
            }
            munmap(data, size);
        }
    }
    std::uint64_t sum = 0;
    for (int k = 0; k < 8; ++k) sum ^= acc[k];
    std::printf("%llx\n", static_cast<unsigned long long>(sum));
    return 0;
}
