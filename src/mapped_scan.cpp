#include "mapped_scan.hpp"

#if !defined(_WIN32)
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <csetjmp>
#include <csignal>
#endif

namespace bytehunt {

#if defined(_WIN32)

mapped_scan_result scan_mapped(std::FILE* /*stream*/, searcher& /*finder*/, offset_sink& /*sink*/) {
    return {scan_outcome::complete, 0};
}

#else

namespace {

// Bytes mapped at a time: large enough that mapping costs little, small
// enough that the mapped pages keep the program's memory within a few MiB.
constexpr std::size_t window_size = std::size_t{4} << 20;

// Pages mapped in one go rather than one fault at a time, where the system
// offers it.
#if defined(MAP_POPULATE)
constexpr int populate = MAP_POPULATE;
#else
constexpr int populate = 0;
#endif

sigjmp_buf* fault_landing = nullptr;

void on_bus_error(int /*signal*/) {
    siglongjmp(*fault_landing, 1);
}

// Passes offsets on and remembers how far the search is decided, so that a
// fault in the middle of a window loses nothing and repeats nothing.
class progress_sink final : public offset_sink {
public:
    progress_sink(offset_sink& next, std::size_t needle_length)
        : next_(next), needle_length_(needle_length) {}

    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        if (!next_.accept(offsets, count)) return false;
        decided = offsets[count - 1] + needle_length_;
        return true;
    }
    bool flush() override { return next_.flush(); }

    // Volatile: read after a jump out of the signal handler.
    volatile std::uint64_t decided = 0;

private:
    offset_sink& next_;
    std::size_t needle_length_;
};

}  // namespace

mapped_scan_result scan_mapped(std::FILE* stream, searcher& finder, offset_sink& sink) {
    const int descriptor = fileno(stream);
    struct stat info {};
    // An empty needle never occurs: nothing to map. 32-bit builds read: the
    // only 32-bit machines we can test on (qemu-user) map offsets of 4 GiB and
    // more to the wrong bytes, and read() is right everywhere.
    if (sizeof(void*) < 8 || finder.needle_length() == 0 || fstat(descriptor, &info) != 0 ||
        !S_ISREG(info.st_mode) || info.st_size <= 0) {
        return {scan_outcome::complete, 0};
    }
    const auto size = static_cast<std::uint64_t>(info.st_size);
    const auto page = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));
    const std::size_t needle_length = finder.needle_length();
    // Each map reaches past its window by a page or more, so that every
    // occurrence starting in the window is inside the map.
    const std::size_t overhang = (needle_length + page - 1) / page * page;

    progress_sink progress(sink, needle_length);
    volatile bool write_failed = false;
    void* volatile mapped = nullptr;
    volatile std::size_t mapped_length = 0;

    struct sigaction action {};
    struct sigaction previous {};
    action.sa_handler = on_bus_error;
    sigemptyset(&action.sa_mask);
    sigjmp_buf landing;
    fault_landing = &landing;
    if (sigaction(SIGBUS, &action, &previous) != 0) {
        fault_landing = nullptr;
        return {scan_outcome::complete, 0};
    }

#if defined(POSIX_FADV_SEQUENTIAL)
    // Read ahead of the scan when the file is not cached yet.
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    if (sigsetjmp(landing, 1) == 0) {
        for (std::uint64_t base = 0; base < size && progress.decided < size; base += window_size) {
#if defined(POSIX_FADV_WILLNEED)
            // The next window is read from disk while this one is searched.
            (void)posix_fadvise(descriptor, static_cast<off_t>(base + window_size), window_size,
                                POSIX_FADV_WILLNEED);
#endif
            const std::uint64_t left = size - base;
            const auto length =
                static_cast<std::size_t>(left < window_size + overhang ? left : window_size + overhang);
            if (progress.decided < base) break;  // cannot happen: each map decides past its window
            void* const view = mmap(nullptr, length, PROT_READ, MAP_PRIVATE | populate, descriptor,
                                    static_cast<off_t>(base));
            if (view == MAP_FAILED) break;  // refused: the rest is read
            mapped = view;
            mapped_length = length;
            std::size_t from = static_cast<std::size_t>(progress.decided - base);
            if (!search_block(finder, static_cast<const std::uint8_t*>(view), length, base, from, progress)) {
                write_failed = true;
            } else if (base + from > progress.decided) {
                progress.decided = base + from;
            }
            munmap(view, length);
            mapped = nullptr;
            if (write_failed) break;
        }
    } else if (mapped != nullptr) {
        // The file shrank under the map (or its storage failed): reading on
        // from what is decided finds out which.
        munmap(mapped, mapped_length);
    }
    sigaction(SIGBUS, &previous, nullptr);
    fault_landing = nullptr;
    return {write_failed ? scan_outcome::write_failed : scan_outcome::complete, progress.decided};
}

#endif

}  // namespace bytehunt
