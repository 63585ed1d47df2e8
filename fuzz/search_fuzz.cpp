// The scan on arbitrary needles and haystacks, in blocks and reads of
// arbitrary sizes, on every CPU path this machine has: the same offsets as
// the plain reference search.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "memory_source.hpp"

namespace {

// Long runs and regions that switch between kinds of data, from a short
// input: each (byte, count) pair becomes a run of up to 4 KiB of that byte,
// or, when count is odd, as many bytes copied from the input before it, so
// that stretches of varied data repeat and alternate with uniform ones.
std::vector<std::uint8_t> expand_runs(const std::vector<std::uint8_t>& input) {
    constexpr std::size_t limit = std::size_t{128} << 10;
    std::vector<std::uint8_t> out;
    for (std::size_t i = 0; i + 1 < input.size() && out.size() < limit; i += 2) {
        const std::size_t length = (std::size_t{input[i + 1]} + 1) * 16;
        if ((input[i + 1] & 1) == 0) {
            out.insert(out.end(), length, input[i]);
        } else {
            for (std::size_t k = 0; k < length; ++k) out.push_back(input[k % (i + 2)]);
        }
    }
    return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    // Four control bytes: needle length, block size, read size, and the CPU
    // path with two flags: fold all bytes into a four-letter alphabet, where
    // partial matches are everywhere; expand the haystack into long runs.
    if (size < 4) return 0;
    std::size_t needle_length = data[0] % 129;
    const std::size_t block_size = 1 + static_cast<std::size_t>(data[1]) * 7;
    const std::size_t chunk = data[2] == 255 ? SIZE_MAX : 1 + static_cast<std::size_t>(data[2]);
    const bool small_alphabet = (data[3] & 0x80) != 0;
    const bool runs = (data[3] & 0x40) != 0;
    data += 4;
    size -= 4;
    if (needle_length > size) needle_length = size;

    std::vector<bytehunt::cpu_path> paths;
    for (auto path : bytehunt::all_cpu_paths) {
        if (bytehunt::cpu_path_supported(path)) paths.push_back(path);
    }
    const bytehunt::cpu_path path = paths[(data[-1] & 0x3f) % paths.size()];

    std::vector<std::uint8_t> needle(data, data + needle_length);
    std::vector<std::uint8_t> haystack(data + needle_length, data + size);
    // Larger blocks and reads with expanded runs, so that a block holds whole
    // regions and a run takes little time.
    const std::size_t block = runs ? block_size * 64 : block_size;
    const std::size_t read_size = runs && chunk != SIZE_MAX ? chunk * 64 : chunk;
    if (runs) haystack = expand_runs(haystack);
    if (small_alphabet) {
        for (auto& b : needle) b &= 3;
        for (auto& b : haystack) b &= 3;
    }
    const auto expected = test_support::reference_offsets(haystack, needle);
    if (test_support::scanned_offsets(haystack, needle, path, block, read_size) != expected) std::abort();
    return 0;
}
