// The machine's limit for reading a file: touches every byte with vector
// loads and nothing else. "read" reads into a 1 MiB buffer; "map" maps the
// whole file once and releases the pages behind the loop, so that memory
// stays bounded. With THREADS, each thread takes its own equal share of the
// file. Prints the xor of all words so that the loads stay.
// Usage: bare_loop read|map FILE [THREADS]
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <thread>
#include <vector>

namespace {

using word = std::uint64_t __attribute__((vector_size(64), aligned(1)));

word touch(const std::uint8_t* data, std::size_t length, word acc) {
    std::size_t i = 0;
    for (; length - i >= 64; i += 64) acc ^= *reinterpret_cast<const word*>(data + i);
    for (; i < length; ++i) acc[0] ^= data[i];
    return acc;
}

std::uint64_t fold(word acc) {
    std::uint64_t sum = 0;
    for (int i = 0; i < 8; ++i) sum ^= acc[i];
    return sum;
}

word read_share(int fd, std::uint64_t begin, std::uint64_t end) {
    word acc{};
    std::vector<std::uint8_t> buffer(1 << 20);
    while (begin < end) {
        const std::size_t want = end - begin < buffer.size() ? end - begin : buffer.size();
        const ssize_t got = pread(fd, buffer.data(), want, static_cast<off_t>(begin));
        if (got <= 0) break;
        acc = touch(buffer.data(), static_cast<std::size_t>(got), acc);
        begin += static_cast<std::uint64_t>(got);
    }
    return acc;
}

word map_share(const std::uint8_t* data, std::uint64_t begin, std::uint64_t end) {
    word acc{};
    constexpr std::size_t step = std::size_t{4} << 20;
    for (std::uint64_t at = begin; at < end; at += step) {
        const std::size_t length = end - at < step ? end - at : step;
        acc = touch(data + at, length, acc);
        madvise(const_cast<std::uint8_t*>(data) + at, length, MADV_DONTNEED);
    }
    return acc;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: bare_loop read|map FILE [THREADS]\n");
        return 1;
    }
    const int fd = open(argv[2], O_RDONLY);
    struct stat info {};
    if (fd < 0 || fstat(fd, &info) != 0) return 2;
    // A block device's size is where its end is.
    const auto size =
        static_cast<std::uint64_t>(S_ISBLK(info.st_mode) ? lseek(fd, 0, SEEK_END) : info.st_size);
    const unsigned threads = argc > 3 ? static_cast<unsigned>(std::atoi(argv[3])) : 1;
    const bool mapped = std::strcmp(argv[1], "map") == 0;
    const std::uint8_t* data = nullptr;
    if (mapped && size > 0) {
        void* view = mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
        if (view == MAP_FAILED) return 2;
        data = static_cast<const std::uint8_t*>(view);
    }
    std::vector<std::uint64_t> sums(threads);
    std::vector<std::thread> workers;
    // Shares start on 4 KiB boundaries, so that no page is released twice.
    const std::uint64_t share = (size / threads + 4095) / 4096 * 4096;
    for (unsigned k = 0; k < threads; ++k) {
        const std::uint64_t begin = share * k < size ? share * k : size;
        const std::uint64_t end = share * (k + 1) < size ? share * (k + 1) : size;
        workers.emplace_back([&, k, begin, end] {
            sums[k] = fold(mapped ? (data != nullptr ? map_share(data, begin, end) : word{})
                                  : read_share(fd, begin, end));
        });
    }
    std::uint64_t sum = 0;
    for (unsigned k = 0; k < threads; ++k) {
        workers[k].join();
        sum ^= sums[k];
    }
    std::printf("%llx\n", static_cast<unsigned long long>(sum));
    return 0;
}
