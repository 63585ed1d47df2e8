#include "file_scan.hpp"

#if defined(_WIN32)
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <csetjmp>
#include <csignal>
#endif

#include <chrono>
#include <memory>
#include <mutex>

#include "block_buffer.hpp"
#include "check.hpp"
#include "input.hpp"

namespace bytehunt {

namespace {

// Mapped pages are released behind the search this many bytes at a time:
// few calls, and few pages held.
constexpr std::uint64_t release_size = std::uint64_t{2} << 20;

#if defined(_WIN32)

// Windows has no maps here: every stretch is copied, and no fault is caught.
constexpr bool handler_installed = false;

// Reads up to `length` bytes at `offset` and returns how many it got: fewer
// if the file ends first or a read fails (reading on then tells which). Each
// read names its offset, so threads may read one handle side by side; it
// moves the file pointer, which the scan's caller sets again afterwards.
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
constexpr std::size_t page_size = 4096;
const std::uint8_t* map_range(int /*descriptor*/, std::uint64_t /*offset*/, std::size_t /*length*/) {
    return nullptr;
}
void populate(const std::uint8_t* /*bytes*/, std::size_t /*length*/) {}
void release(const std::uint8_t* /*bytes*/, std::size_t /*length*/) {}
void unmap(const std::uint8_t* /*bytes*/, std::size_t /*length*/) {}

#else

// Where a fault in the map lands, and the map's extent; set while a scan
// runs, for each thread that scans (a fault is raised in the thread that
// touched the page).
thread_local sigjmp_buf* fault_landing = nullptr;
thread_local const volatile std::uint8_t* fault_map = nullptr;
thread_local volatile std::size_t fault_map_length = 0;

// A fault inside the map means that the file shrank under it (or that its
// storage failed): the scan jumps back and reads on. Any other SIGBUS (a
// fault elsewhere, or one sent by another process) takes its default action,
// as it would without this handler.
void on_bus_error(int signal, siginfo_t* info, void* /*context*/) {
#if defined(__s390x__)
    // qemu-user garbles the fault address of this machine, the only one we
    // can test it on: a fault raised by the system is taken for the map's.
    const bool in_map = true;
#else
    const auto address = reinterpret_cast<std::uintptr_t>(info->si_addr);
    const auto begin = reinterpret_cast<std::uintptr_t>(fault_map);
    const bool in_map = address - begin < fault_map_length;
#endif
    if (info->si_code > 0 && fault_landing != nullptr && in_map) {
        siglongjmp(*fault_landing, 1);
    }
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // Blocked until the handler returns, then fatal; a fault elsewhere
    // simply happens again, now fatal.
    if (info->si_code <= 0) raise(signal);
}

// Reads up to `length` bytes at `offset` and returns how many it got: fewer
// if the file ends first or a read fails (reading on with read() then tells
// which).
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

// The SIGBUS handler, installed while any scan runs.
std::mutex handler_mutex;
unsigned handler_users = 0;
bool handler_installed = false;
struct sigaction previous_handler {};

const std::size_t page_size = static_cast<std::size_t>(sysconf(_SC_PAGESIZE));

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
    const auto whole_pages = [](std::size_t size) { return (size + page_size - 1) / page_size * page_size; };
    const std::size_t room_end = whole_pages(length + large_page);
    const std::size_t view_end = whole_pages(shift + length);
    if (shift > 0) munmap(room, shift);
    if (room_end > view_end) munmap(bytes + view_end, room_end - view_end);
    return view;
}

// A map of the file's bytes [offset, offset + length), read front to back,
// or null where the system refuses one. Not inlined: its locals would then
// live in a frame that a jump back from a fault returns to.
__attribute__((noinline)) const std::uint8_t* map_range(int descriptor, std::uint64_t offset,
                                                        std::size_t length) {
    void* const view = map_aligned(descriptor, offset, length);
    if (view == MAP_FAILED) return nullptr;
    (void)madvise(view, length, MADV_SEQUENTIAL);
    return static_cast<const std::uint8_t*>(view);
}
// Brings mapped pages in ahead of the search; beyond the file's end it is
// refused, and the search then faults.
void populate(const std::uint8_t* bytes, std::size_t length) {
#if defined(MADV_POPULATE_READ)
    (void)madvise(const_cast<std::uint8_t*>(bytes), length, MADV_POPULATE_READ);
#else
    (void)bytes;
    (void)length;
#endif
}
// Mapped pages not needed again.
void release(const std::uint8_t* bytes, std::size_t length) {
    (void)madvise(const_cast<std::uint8_t*>(bytes), length, MADV_DONTNEED);
}
void unmap(const std::uint8_t* bytes, std::size_t length) {
    munmap(const_cast<std::uint8_t*>(bytes), length);
}

#endif

// Passes offsets on and remembers how far the search is decided. Offsets
// found in mapped memory are passed on only while the file still holds the
// whole occurrence: past a shrinking file's new end, the map shows zeros.
class checked_sink final : public offset_sink {
public:
    checked_sink(offset_sink& next, int descriptor, std::size_t needle_length)
        : next_(next), descriptor_(descriptor), needle_length_(needle_length) {}

    bool accept(const std::uint64_t* offsets, std::size_t count) override {
        std::size_t kept = count;
        if (mapped) {
            const std::uint64_t reach = regular_file_size(descriptor_);
            while (kept > 0 && offsets[kept - 1] + needle_length_ > reach) --kept;
        }
        if (kept > 0) {
            if (!next_.accept(offsets, kept)) return false;
            decided = offsets[kept - 1] + needle_length_;
        }
        if (kept == count) return true;
        shrunk = true;
        return false;
    }
    bool flush() override { return next_.flush(); }

    // Whether the offsets come from mapped memory.
    bool mapped = false;
    // Set when the file no longer held an occurrence found in the map.
    bool shrunk = false;
    // Volatile: read after a jump out of the signal handler.
    volatile std::uint64_t decided = 0;

private:
    offset_sink& next_;
    int descriptor_;
    std::size_t needle_length_;
};

std::uint64_t now_ns() {
    return static_cast<std::uint64_t>(std::chrono::duration_cast<std::chrono::nanoseconds>(
                                          std::chrono::steady_clock::now().time_since_epoch())
                                          .count());
}

}  // namespace

file_scan_result scan_regular_file(std::FILE* stream, searcher& finder, offset_sink& sink, unsigned ways,
                                   std::size_t stretch_size) {
    const int descriptor = fileno(stream);
    const std::uint64_t size = regular_file_size(descriptor);
    if (finder.needle_length() == 0 || size == 0) return {scan_outcome::complete, 0, {}};
#if defined(POSIX_FADV_SEQUENTIAL)
    (void)posix_fadvise(descriptor, 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
    const bus_fault_handler handler;
    return scan_file_range(descriptor, size, {0, size}, finder, sink, ways, stretch_size);
}

#if defined(_WIN32)

bus_fault_handler::bus_fault_handler() = default;
bus_fault_handler::~bus_fault_handler() = default;

#else

bus_fault_handler::bus_fault_handler() {
    const std::lock_guard<std::mutex> lock(handler_mutex);
    if (handler_users++ > 0) return;
    struct sigaction action {};
    action.sa_sigaction = on_bus_error;
    action.sa_flags = SA_SIGINFO;
    sigemptyset(&action.sa_mask);
    handler_installed = sigaction(SIGBUS, &action, &previous_handler) == 0;
}

bus_fault_handler::~bus_fault_handler() {
    const std::lock_guard<std::mutex> lock(handler_mutex);
    if (--handler_users > 0 || !handler_installed) return;
    sigaction(SIGBUS, &previous_handler, nullptr);
    handler_installed = false;
}

#endif

file_scan_result scan_file_range(int descriptor, std::uint64_t size, file_range range, searcher& finder,
                                 offset_sink& sink, unsigned ways, std::size_t stretch_size,
                                 range_tools* given_tools) {
    // A copy that a jump back from a fault cannot clobber.
    range_tools* volatile const tools = given_tools;
    const std::size_t needle_length = finder.needle_length();
    if (needle_length == 0 || range.first >= range.end || size - range.first < needle_length) {
        return {scan_outcome::complete, range.first, {}};
    }
    const std::size_t page = page_size;
    // The bytes the range needs: its starts and the needle's length after
    // the last one, within the file.
    const std::uint64_t bytes_limit =
        size - range.end >= needle_length - 1 ? range.end + needle_length - 1 : size;
    // 32-bit builds only copy: a large file does not fit their address
    // space, and the only 32-bit machines we can test on (qemu-user) map
    // offsets of 4 GiB and more to the wrong bytes. Maps are taken only
    // while a handler stands ready for their faults.
    if (sizeof(void*) < 8 || !handler_installed) ways = way_bit(read_way::copy);
#if !defined(MADV_POPULATE_READ)
    ways &= ~way_bit(read_way::populated_map);
#endif
    const std::uint64_t map_base = range.first / page * page;
    // Volatile: read after a jump out of the signal handler.
    volatile const auto map_length = static_cast<std::size_t>(bytes_limit - map_base);
    const std::uint8_t* const map =
        (ways & ~way_bit(read_way::copy)) == 0 ? nullptr : map_range(descriptor, map_base, map_length);
    const bool map_available = map != nullptr;
    // The map goes back however the scan ends, an exception (out of memory
    // in the sink) included, and no fault is taken for it afterwards.
    struct map_lease {
        const std::uint8_t* map;
        std::size_t length;
        ~map_lease() {
            if (map == nullptr) return;
#if !defined(_WIN32)
            fault_landing = nullptr;
            fault_map = nullptr;
            fault_map_length = 0;
#endif
            unmap(map, length);
        }
    } const lease{map, map_length};
    // A scan of many ranges in turn keeps its choice of way and its buffer;
    // the choice holds only where the map was granted.
    read_way_chooser own_chooser(map_available ? ways : way_bit(read_way::copy));
    read_way_chooser* volatile const chooser =
        tools != nullptr && map_available ? &tools->chooser : &own_chooser;
    // No larger than the range: a small file needs no large buffer.
    const std::uint64_t span = range.end - range.first;
    const std::size_t buffer_size =
        static_cast<std::size_t>(span < stretch_size ? span : stretch_size) + needle_length - 1;
    std::unique_ptr<block_buffer> own_buffer;
    if (tools == nullptr || tools->buffer.size() < buffer_size)
        own_buffer = std::make_unique<block_buffer>(buffer_size);
    // Volatile, so that a jump back from a fault cannot clobber it.
    std::uint8_t* volatile const copy_into =
        own_buffer != nullptr ? own_buffer->data() : tools->buffer.data();
    checked_sink checked(sink, descriptor, needle_length);
    checked.decided = range.first;
    // Volatile: read after a jump out of the signal handler.
    volatile std::uint64_t brought[read_way_count] = {};
    volatile bool write_failed = false;
    // Volatile, as everything a jump out of the signal handler may meet.
    volatile std::uint64_t released = map_base;  // the map's pages below this are released
    volatile std::uint64_t mapped_end = 0;       // and none at or past this was touched

    // Each stretch decides the starts in [begin, begin + stretch_size) and
    // needs the needle_length - 1 bytes after them.
    const auto search_stretches = [&] {
        while (checked.decided < range.end && size - checked.decided >= needle_length) {
            const std::uint64_t begin = checked.decided;
            const std::uint64_t starts_end =
                range.end - begin > stretch_size ? begin + stretch_size : range.end;
            const std::uint64_t bytes_end =
                bytes_limit - starts_end > needle_length - 1 ? starts_end + needle_length - 1 : bytes_limit;
            auto length = static_cast<std::size_t>(bytes_end - begin);
            const read_way way = chooser->next();
            const std::uint64_t started = now_ns();
            const std::uint8_t* data = nullptr;
            bool cut_short = false;
            if (way == read_way::copy) {
                // What was read is searched, and the rest left to read().
                const std::size_t got = read_up_to(descriptor, copy_into, length, begin);
                cut_short = got < length;
                length = got;
                data = copy_into;
            } else {
                data = map + (begin - map_base);
                if (way == read_way::populated_map) {
                    const std::uint64_t first_page = begin / page * page;
                    populate(map + (first_page - map_base), static_cast<std::size_t>(bytes_end - first_page));
                }
            }
            checked.mapped = way != read_way::copy;
            std::size_t from = 0;
            if (!search_block(finder, data, length, begin, from, checked)) {
                write_failed = !checked.shrunk;
                return;
            }
            // The search's cost is the same either way, and a map's pages
            // come in as the search reaches them: the stretch is timed whole.
            chooser->record(length, now_ns() - started);
            brought[static_cast<int>(way)] += length;
            if (begin + from > checked.decided) checked.decided = begin + from;
            if (cut_short) return;
            BYTEHUNT_CHECK(checked.decided > begin);
            // Mapped pages wholly behind the search are not needed again:
            // they are released a few stretches at a time, and all of them
            // once the copy takes over.
            if (way != read_way::copy) mapped_end = bytes_end;
            // Released up to a large page's boundary in the file, so that a
            // large page mapped whole is dropped whole rather than split.
            const std::uint64_t behind = checked.decided / large_page * large_page;
            if (map_available && behind > released &&
                (behind - released >= release_size || (way == read_way::copy && mapped_end > released))) {
                release(map + (released - map_base), static_cast<std::size_t>(behind - released));
                released = behind;
            }
        }
    };
#if defined(_WIN32)
    search_stretches();
#else
    sigjmp_buf landing;
    if (map_available) {
        fault_map = map;
        fault_map_length = map_length;
        fault_landing = &landing;
    }
    // The signal mask is not saved (a system call for every range): after a
    // fault, SIGBUS, blocked while its handler ran, is unblocked below.
    if (sigsetjmp(landing, 0) == 0) {
        search_stretches();
    } else {
        // After a fault in the map: the file shrank under it, or its storage
        // failed; reading on from what is decided finds out which.
        sigset_t bus;
        sigemptyset(&bus);
        sigaddset(&bus, SIGBUS);
        pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
    }
#endif
    file_scan_result result{
        write_failed ? scan_outcome::write_failed : scan_outcome::complete, checked.decided, {}};
    for (std::size_t way = 0; way < read_way_count; ++way) result.brought[way] = brought[way];
    return result;
}

}  // namespace bytehunt
