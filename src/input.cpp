#include "input.hpp"

#if defined(_WIN32)
#else
#include <fcntl.h>
#include <sys/stat.h>
#endif

namespace bytehunt {

stream_source::stream_source(std::FILE* stream) : stream_(stream) {
    // Blocks are large, so the stream's own buffer would only add a copy.
    std::setvbuf(stream_, nullptr, _IONBF, 0);
#if defined(POSIX_FADV_SEQUENTIAL)
    // A hint for larger read-ahead; it fails harmlessly on pipes.
    (void)posix_fadvise(fileno(stream_), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
}

read_result stream_source::read(std::uint8_t* into, std::size_t capacity) {
    const std::size_t count = std::fread(into, 1, capacity, stream_);
    if (count == 0 && std::ferror(stream_) != 0) return {0, true};
    return {count, false};
}

std::FILE* open_input(const char* path) {
    std::FILE* stream = std::fopen(path, "rb");
    if (stream == nullptr) return nullptr;
#if !defined(_WIN32)
    // Opening a directory for reading succeeds on POSIX; reading it does not.
    struct stat info {};
    if (fstat(fileno(stream), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(stream);
        return nullptr;
    }
#endif
    return stream;
}

}  // namespace bytehunt
