#include "reading/mapped_view.hpp"

#if !defined(_WIN32)
#include <csignal>
#endif

#include <cstdint>
#include <mutex>

#include "reading/file_access.hpp"

namespace bytehunt {

namespace {
// A range shorter than this that borrows the shared map leaves its pages to
// the report's release: each release stops the other core, and small
// chunks end by the thousand where output is dense.
constexpr std::uint64_t small_range = std::uint64_t{1} << 20;
// Mapped pages are released behind the search this many bytes at a time:
// few calls, and few pages held. Each release stops the other cores that
// run this program to flush their address caches: on two cores, the rare
// pattern over 1 GiB just written took 80 ms with 2 MiB, 76 with 4 and 70
// with 8, whose pages held took the peak memory from 7 MiB to 11 and 19.
constexpr std::uint64_t release_size = std::uint64_t{4} << 20;
}  // namespace

#if defined(_WIN32)

// Windows has no maps here: every stretch is copied, and no fault is caught.
bus_fault_handler::bus_fault_handler() = default;
bus_fault_handler::~bus_fault_handler() = default;
bool map_faults_caught() {
    return false;
}

#else

namespace {

// Where a fault in the map lands, and the map's extent; set while a map is
// searched, for each thread (a fault is raised in the thread that touched
// the page).
thread_local sigjmp_buf* fault_landing = nullptr;
thread_local const volatile std::uint8_t* fault_map = nullptr;
thread_local volatile std::size_t fault_map_length = 0;

// A fault inside the map means that the file shrank under it (or that its
// storage failed): the search jumps back and the scan reads on. Any other
// SIGBUS (a fault elsewhere, or one sent by another process) takes its
// default action, as it would without this handler.
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
    if (info->si_code > 0 && fault_landing != nullptr && in_map) siglongjmp(*fault_landing, 1);
    struct sigaction fallback {};
    fallback.sa_handler = SIG_DFL;
    sigemptyset(&fallback.sa_mask);
    sigaction(signal, &fallback, nullptr);
    // Blocked until the handler returns, then fatal; a fault elsewhere
    // simply happens again, now fatal.
    if (info->si_code <= 0) raise(signal);
}

void watch_map(sigjmp_buf* landing, const std::uint8_t* map, std::size_t length) {
    fault_map = map;
    fault_map_length = length;
    fault_landing = landing;
}

void unwatch_map() {
    fault_landing = nullptr;
    fault_map = nullptr;
    fault_map_length = 0;
}

// After the jump back: SIGBUS, blocked while its handler ran, is unblocked
// (the jump does not restore the mask: that would cost a system call on
// every search of a map).
void resume_after_map_fault() {
    unwatch_map();
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
}

// The SIGBUS handler, installed while any scan runs.
std::mutex handler_mutex;
unsigned handler_users = 0;
bool handler_installed = false;
struct sigaction previous_handler {};

}  // namespace

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

bool map_faults_caught() {
    return handler_installed;
}

#endif

shared_file_map::~shared_file_map() {
    if (map_ != nullptr) unmap(map_, static_cast<std::size_t>(size_));
}

const std::uint8_t* shared_file_map::take() {
    const std::lock_guard<std::mutex> lock(mutex_);
    // A file larger than the address space is mapped range by range.
    if (!tried_ && size_ <= SIZE_MAX)
        map_ = map_range(descriptor_, 0, static_cast<std::size_t>(size_), holes_);
    tried_ = true;
    return map_;
}

void shared_file_map::release_before(std::uint64_t front) {
    // Every large page: the small ranges' pages wait for this release, and
    // held for 4 MiB as well, 256 MiB of CRLF text on two cores peaked at
    // 16 MiB of memory, against 10 to 12.
    const std::uint64_t behind = front / large_page * large_page;
    if (behind < released_ + large_page) return;
    const std::lock_guard<std::mutex> lock(mutex_);
    if (map_ != nullptr) release(map_ + released_, static_cast<std::size_t>(behind - released_));
    released_ = behind;
}

mapped_view::mapped_view(int descriptor, std::uint64_t first, std::uint64_t end, bool holes,
                         shared_file_map* shared)
    : descriptor_(descriptor),
      holes_(holes),
      base_(first / page_size() * page_size()),
      length_(static_cast<std::size_t>(end - first / page_size() * page_size())),
      shared_(shared),
      released_(base_) {}

mapped_view::~mapped_view() {
    if (map_ == nullptr) return;
    if (!borrowed_) {
        unmap(map_, length_);
        return;
    }
    // The shared map stays. A small range's pages go with the report's
    // release behind it.
    if (length_ < small_range) return;
    // A larger range's touched pages go now, as its own unmap would have
    // dropped them. (The page of its last bytes is also the next range's
    // first: the large page that holds it, if mapped whole, is dropped
    // whole, and that range maps it again.)
    const std::uint64_t until = (touched_end_ + page_size() - 1) / page_size() * page_size();
    if (until > released_) release(map_ + (released_ - base_), static_cast<std::size_t>(until - released_));
}

bool mapped_view::take() {
    if (map_ == nullptr && shared_ != nullptr) {
        if (const std::uint8_t* const whole = shared_->take()) {
            map_ = whole + base_;
            borrowed_ = true;
        }
    }
    if (map_ == nullptr) map_ = map_range(descriptor_, base_, length_, holes_);
    return map_ != nullptr;
}

void mapped_view::populate(std::uint64_t first, std::uint64_t end) {
    const std::uint64_t first_page = first / page_size() * page_size();
    bytehunt::populate(map_ + (first_page - base_), static_cast<std::size_t>(end - first_page));
}

guarded_outcome mapped_view::search(searcher& finder, std::uint64_t begin, std::size_t length,
                                    std::size_t& from, offset_sink& sink) {
#if defined(_WIN32)
    return search_block(finder, map_ + (begin - base_), length, begin, from, sink)
               ? guarded_outcome::searched
               : guarded_outcome::sink_failed;
#else
    // Nothing of this frame changes between the landing and the jump back
    // to it, so nothing here needs to be volatile.
    if (sigsetjmp(landing_, 0) != 0) {
        resume_after_map_fault();
        return guarded_outcome::faulted;
    }
    watch_map(&landing_, map_, length_);
    bool searched = false;
    try {
        searched = search_block(finder, map_ + (begin - base_), length, begin, from, sink);
    } catch (...) {
        unwatch_map();  // out of memory in the sink: no fault lands here afterwards
        throw;
    }
    unwatch_map();
    return searched ? guarded_outcome::searched : guarded_outcome::sink_failed;
#endif
}

void mapped_view::release_behind(std::uint64_t decided, std::uint64_t touched_end) {
    const bool copied = touched_end == 0;
    if (!copied) touched_end_ = touched_end;
    // Released up to a large page's boundary in the file, so that a large
    // page mapped whole is dropped whole rather than split; only what was
    // touched is released.
    const std::uint64_t behind = decided / large_page * large_page;
    if (touched_end_ <= released_ || behind <= released_ || (behind - released_ < release_size && !copied))
        return;
    const std::uint64_t touched_pages = (touched_end_ + large_page - 1) / large_page * large_page;
    const std::uint64_t until = touched_pages < behind ? touched_pages : behind;
    release(map_ + (released_ - base_), static_cast<std::size_t>(until - released_));
    released_ = behind;
}

}  // namespace bytehunt
