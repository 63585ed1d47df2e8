#include "reading/file_access.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#endif

#include <vector>

namespace bytehunt {

#if defined(_WIN32)

// Each read moves the file pointer too, which the scan's caller sets again
// afterwards.
std::size_t read_up_to(int descriptor, std::uint8_t* into, std::size_t length, std::uint64_t offset) {
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    constexpr std::size_t most = std::size_t{1} << 30;  // what one ReadFile may ask for
    std::size_t got = 0;
    while (got < length) {
        OVERLAPPED at{};
        const std::uint64_t where = offset + got;
        at.Offset = static_cast<DWORD>(where);
        at.OffsetHigh = static_cast<DWORD>(where >> 32);
        DWORD count = 0;
        const std::size_t want = length - got < most ? length - got : most;
        if (ReadFile(file, into + got, static_cast<DWORD>(want), &count, &at) == 0 || count == 0) break;
        got += count;
    }
    return got;
}

// No maps: these are never called with one.
std::size_t page_size() {
    return 4096;
}
const std::uint8_t* map_range(int /*descriptor*/, std::uint64_t /*offset*/, std::size_t /*length*/,
                              bool /*holes*/) {
    return nullptr;
}
void populate(const std::uint8_t* /*bytes*/, std::size_t /*length*/) {}
bool mostly_uncached(int /*descriptor*/, std::uint64_t /*offset*/, std::size_t /*length*/) {
    return false;
}
void read_soon(int /*descriptor*/, std::uint64_t /*offset*/, std::uint64_t /*length*/) {}
void advise_access(int /*descriptor*/, bool /*holes*/) {}
void release(const std::uint8_t* /*bytes*/, std::size_t /*length*/) {}
void unmap(const std::uint8_t* /*bytes*/, std::size_t /*length*/) {}

#else

std::size_t read_up_to(int descriptor, std::uint8_t* into, std::size_t length, std::uint64_t offset) {
    std::size_t got = 0;
    while (got < length) {
        const ssize_t count = pread(descriptor, into + got, length - got, static_cast<off_t>(offset + got));
        if (count < 0 && errno == EINTR) continue;
        if (count <= 0) break;
        got += static_cast<std::size_t>(count);
    }
    return got;
}

namespace {

const std::size_t system_page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

// Maps `length` bytes of the file from `offset` at an address that agrees
// with the offset modulo 2 MiB, so that the system may map large pages of the
// page cache (as a file read back from disk has) with one entry each; or
// refuses, as mmap does.
__attribute__((noinline)) void* map_aligned(int descriptor, std::uint64_t offset, std::size_t length) {
    void* const room = mmap(nullptr, length + large_page, PROT_NONE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    if (room == MAP_FAILED)
        return mmap(nullptr, length, PROT_READ, MAP_PRIVATE, descriptor, static_cast<off_t>(offset));
    auto* const bytes = static_cast<std::uint8_t*>(room);
    const std::size_t shift =
        (offset % large_page + large_page - reinterpret_cast<std::uintptr_t>(room) % large_page) % large_page;
    void* const view = mmap(bytes + shift, length, PROT_READ, MAP_PRIVATE | MAP_FIXED, descriptor,
                            static_cast<off_t>(offset));
    if (view == MAP_FAILED) {
        munmap(room, length + large_page);
        return MAP_FAILED;
    }
    // What is left of the room on either side goes back, in whole pages:
    // the view's last page may be partly past `length`, and is the view's.
    const std::size_t page = system_page_size;
    const auto whole_pages = [page](std::size_t size) { return (size + page - 1) / page * page; };
    const std::size_t room_end = whole_pages(length + large_page);
    const std::size_t view_end = whole_pages(shift + length);
    if (shift > 0) munmap(room, shift);
    if (room_end > view_end) munmap(bytes + view_end, room_end - view_end);
    return view;
}

}  // namespace

// Not inlined: its locals would then live in a frame that a jump back from a
// fault returns to.
__attribute__((noinline)) const std::uint8_t* map_range(int descriptor, std::uint64_t offset,
                                                        std::size_t length, bool holes) {
    void* const view = map_aligned(descriptor, offset, length);
    if (view == MAP_FAILED) return nullptr;
    (void)madvise(view, length, holes ? MADV_RANDOM : MADV_SEQUENTIAL);
    return static_cast<const std::uint8_t*>(view);
}
void populate(const std::uint8_t* bytes, std::size_t length) {
#if defined(MADV_POPULATE_READ)
    (void)madvise(const_cast<std::uint8_t*>(bytes), length, MADV_POPULATE_READ);
#else
    (void)bytes;
    (void)length;
#endif
}
void release(const std::uint8_t* bytes, std::size_t length) {
    (void)madvise(const_cast<std::uint8_t*>(bytes), length, MADV_DONTNEED);
}
void unmap(const std::uint8_t* bytes, std::size_t length) {
    munmap(const_cast<std::uint8_t*>(bytes), length);
}

std::size_t page_size() {
    return system_page_size;
}

void advise_access(int descriptor, bool holes) {
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(descriptor, 0, 0, holes ? POSIX_FADV_RANDOM : POSIX_FADV_SEQUENTIAL);
#else
    (void)descriptor;
    (void)holes;
#endif
}

void read_soon(int descriptor, std::uint64_t offset, std::uint64_t length) {
#if defined(POSIX_FADV_WILLNEED)
    (void)posix_fadvise(descriptor, static_cast<off_t>(offset), static_cast<off_t>(length),
                        POSIX_FADV_WILLNEED);
#else
    (void)descriptor;
    (void)offset;
    (void)length;
#endif
}

bool mostly_uncached(int descriptor, std::uint64_t offset, std::size_t length) {
    const std::uint64_t base = offset / system_page_size * system_page_size;
    const std::size_t span = static_cast<std::size_t>(offset - base) + length;
    // A map only asks which pages are cached; none of them is touched.
    void* const view = mmap(nullptr, span, PROT_READ, MAP_PRIVATE, descriptor, static_cast<off_t>(base));
    if (view == MAP_FAILED) return false;
    std::vector<unsigned char> resident((span + system_page_size - 1) / system_page_size);
    std::size_t cached = resident.size();
    if (mincore(view, span, resident.data()) == 0) {
        cached = 0;
        for (const unsigned char page : resident) cached += page & 1;
    }
    munmap(view, span);
    return cached * 4 < resident.size();
}

#endif

}  // namespace bytehunt
