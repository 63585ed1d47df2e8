// The scan on arbitrary needles and haystacks, in blocks and reads of
// arbitrary sizes, on every CPU path this machine has: the same offsets as
// the plain reference search.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "memory_source.hpp"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Four control bytes: needle length, block size, read size, and the CPU
    // path with a flag that folds all bytes into a four-letter alphabet, where
    // partial matches are everywhere.
    if (size < 4) return 0;
    std::size_t needle_length = data[0] % 129;
    const std::size_t block_size = 1 + static_cast<std::size_t>(data[1]) * 7;
    const std::size_t chunk = data[2] == 255 ? SIZE_MAX : 1 + static_cast<std::size_t>(data[2]);
    const bool small_alphabet = (data[3] & 0x80) != 0;
    data += 4;
    size -= 4;
    if (needle_length > size) needle_length = size;

    std::vector<bytehunt::cpu_path> paths;
    for (auto path : {bytehunt::cpu_path::portable, bytehunt::cpu_path::sse2, bytehunt::cpu_path::avx2,
                      bytehunt::cpu_path::avx512}) {
        if (bytehunt::cpu_path_supported(path)) paths.push_back(path);
    }
    const bytehunt::cpu_path path = paths[(data[-1] & 0x7f) % paths.size()];

    std::vector<std::uint8_t> needle(data, data + needle_length);
    std::vector<std::uint8_t> haystack(data + needle_length, data + size);
    if (small_alphabet) {
        for (auto& b : needle) b &= 3;
        for (auto& b : haystack) b &= 3;
    }
    const auto expected = test_support::reference_offsets(haystack, needle);
    if (test_support::scanned_offsets(haystack, needle, path, block_size, chunk) != expected) std::abort();
    return 0;
}
