// Preloaded into the program under test (LD_PRELOAD) to make its input
// misbehave on cue. It wraps read(), pread() and mmap() on descriptors above 2,
// and malloc() and pthread_create():
//   BYTEHUNT_TEST_FAIL_AFTER=N   reads fail with EIO once N bytes were read;
//                                maps are refused, so that everything is read.
//   BYTEHUNT_TEST_FAIL_AT=N      reads of the bytes at offset N and past fail
//                                with EIO, whichever thread reads them; maps
//                                are refused. With BYTEHUNT_TEST_FAIL_LENGTH=L
//                                only the L bytes from N fail (a bad sector).
//   BYTEHUNT_TEST_RESIZE_AFTER=N with BYTEHUNT_TEST_RESIZE_TO=M
//                                at the first read or map once N bytes were
//                                read, the file is cut or extended (with
//                                zeros) to M bytes.
//   BYTEHUNT_TEST_INTERRUPT=1    every read is first interrupted (EINTR).
//   BYTEHUNT_TEST_RAISE_BUS=1    a SIGBUS that no map caused is raised once,
//                                at the first read after a map, while the
//                                program is ready for faults of its own map;
//                                with 2, sent with kill() as another process
//                                would send it.
//   BYTEHUNT_TEST_HOLES=fail     lseek() refuses SEEK_HOLE and SEEK_DATA;
//   BYTEHUNT_TEST_HOLES=none     it says the file holds no holes, as a file
//                                system that keeps none would.
//   BYTEHUNT_TEST_STARVE_THREADS=N  every thread the program starts waits
//                                0.2 s; then malloc() serves it N more times,
//                                and no more.
//   BYTEHUNT_TEST_NO_THREADS=1   no thread can be started (EAGAIN).
//   BYTEHUNT_TEST_STARVE_AFTER=N once the program's first thread has read
//                                N bytes, its malloc() fails for every block
//                                of 64 KiB or more; maps are refused.
#include <dlfcn.h>
#include <pthread.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

namespace {

long long setting(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? -1 : std::atoll(text);
}

using read_function = ssize_t (*)(int, void*, size_t);
using pread_function = ssize_t (*)(int, void*, size_t, off_t);
using map_function = void* (*)(void*, size_t, int, int, int, off_t);

const long long fail_after = setting("BYTEHUNT_TEST_FAIL_AFTER");
const long long fail_at = setting("BYTEHUNT_TEST_FAIL_AT");
const long long fail_length = setting("BYTEHUNT_TEST_FAIL_LENGTH");
const long long resize_after = setting("BYTEHUNT_TEST_RESIZE_AFTER");
const long long resize_to = setting("BYTEHUNT_TEST_RESIZE_TO");
const bool interrupt = setting("BYTEHUNT_TEST_INTERRUPT") == 1;
const long long raise_bus = setting("BYTEHUNT_TEST_RAISE_BUS");
const long long starve_threads = setting("BYTEHUNT_TEST_STARVE_THREADS");
const char* const holes = std::getenv("BYTEHUNT_TEST_HOLES");
const bool no_threads = setting("BYTEHUNT_TEST_NO_THREADS") == 1;
const long long starve_after = setting("BYTEHUNT_TEST_STARVE_AFTER");
// Bytes read by this thread, counted on the program's first thread only.
__attribute__((tls_model("initial-exec"))) thread_local long long read_here = -1;
__attribute__((constructor)) void count_first_thread() {
    read_here = 0;
}
// Allocations a thread has left, or -1 for no limit. Initial-exec: a lookup
// of the usual kind may itself call malloc().
__attribute__((tls_model("initial-exec"))) thread_local long long allocations_left = -1;
long long total = 0;  // bytes read
bool resized = false;
bool interrupted = false;
bool mapped = false;

void resize_when_due(int fd) {
    if (resize_after < 0 || resized || total < resize_after) return;
    char link[64];
    char path[PATH_MAX];
    std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
    const ssize_t length = readlink(link, path, sizeof path - 1);
    if (length > 0) {
        path[length] = '\0';
        resized = truncate(path, resize_to) == 0;
    }
}

// What every read goes through: -1 with errno set when the read is to fail,
// otherwise the count it may ask for. `offset` is where it reads.
long long before_read(int fd, size_t count, long long offset) {
    static bool raised = false;
    if (raise_bus > 0 && mapped && !raised) {
        raised = true;
        static const char note[] = "fault injection: raising SIGBUS\n";
        (void)!write(2, note, sizeof note - 1);
        if (raise_bus == 2)
            kill(getpid(), SIGBUS);
        else
            raise(SIGBUS);
    }
    if (interrupt && !interrupted) {
        interrupted = true;
        errno = EINTR;
        return -1;
    }
    interrupted = false;
    if (fail_after >= 0) {
        if (total >= fail_after) {
            errno = EIO;
            return -1;
        }
        if (static_cast<long long>(count) > fail_after - total)
            count = static_cast<size_t>(fail_after - total);
    }
    if (fail_at >= 0 && (fail_length < 0 || offset < fail_at + fail_length)) {
        if (offset >= fail_at) {
            errno = EIO;
            return -1;
        }
        if (static_cast<long long>(count) > fail_at - offset) count = static_cast<size_t>(fail_at - offset);
    }
    resize_when_due(fd);
    return static_cast<long long>(count);
}

ssize_t after_read(ssize_t got) {
    if (got > 0) {
        total += got;
        if (read_here >= 0) read_here += got;
    }
    return got;
}

// With 64-bit offsets on a 32-bit system, the headers rename pread and mmap
// (and so the wrappers below) to pread64 and mmap64, and so must the lookups
// of the real ones.
const char* const pread_name = sizeof(off_t) > sizeof(long) ? "pread64" : "pread";
const char* const map_name = sizeof(off_t) > sizeof(long) ? "mmap64" : "mmap";
const char* const seek_name = sizeof(off_t) > sizeof(long) ? "lseek64" : "lseek";

struct thread_start {
    void* (*routine)(void*);
    void* argument;
};

void* start_starved(void* given) {
    const thread_start start = *static_cast<thread_start*>(given);
    std::free(given);
    const timespec pause{0, 200000000};
    nanosleep(&pause, nullptr);
    allocations_left = starve_threads;
    return start.routine(start.argument);
}

}  // namespace

extern "C" void* __libc_malloc(size_t size);

extern "C" void* malloc(size_t size) {
    if (allocations_left == 0 || (starve_after >= 0 && read_here >= starve_after && size >= 65536)) {
        errno = ENOMEM;
        return nullptr;
    }
    if (allocations_left > 0) --allocations_left;
    return __libc_malloc(size);
}

extern "C" int pthread_create(pthread_t* thread, const pthread_attr_t* attributes, void* (*routine)(void*),
                              void* argument) {
    using create_function = int (*)(pthread_t*, const pthread_attr_t*, void* (*)(void*), void*);
    static const auto real_create = reinterpret_cast<create_function>(dlsym(RTLD_NEXT, "pthread_create"));
    if (no_threads) return EAGAIN;
    if (starve_threads < 0) return real_create(thread, attributes, routine, argument);
    auto* const start = static_cast<thread_start*>(std::malloc(sizeof(thread_start)));
    if (start == nullptr) return EAGAIN;
    *start = {routine, argument};
    const int created = real_create(thread, attributes, start_starved, start);
    if (created != 0) std::free(start);
    return created;
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto real_read = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    if (fd <= 2) return real_read(fd, buffer, count);
    const long long allowed = before_read(fd, count, fail_at >= 0 ? lseek(fd, 0, SEEK_CUR) : 0);
    return allowed < 0 ? -1 : after_read(real_read(fd, buffer, static_cast<size_t>(allowed)));
}

extern "C" ssize_t pread(int fd, void* buffer, size_t count, off_t offset) {
    static const auto real_pread = reinterpret_cast<pread_function>(dlsym(RTLD_NEXT, pread_name));
    if (fd <= 2) return real_pread(fd, buffer, count, offset);
    const long long allowed = before_read(fd, count, offset);
    return allowed < 0 ? -1 : after_read(real_pread(fd, buffer, static_cast<size_t>(allowed), offset));
}

extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    static const auto real_map = reinterpret_cast<map_function>(dlsym(RTLD_NEXT, map_name));
    if (fd <= 2) return real_map(address, length, protection, flags, fd, offset);
    if (fail_after >= 0 || fail_at >= 0 || starve_after >= 0) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void* const view = real_map(address, length, protection, flags, fd, offset);
    if (view != MAP_FAILED) {
        resize_when_due(fd);
        mapped = true;
    }
    return view;
}

extern "C" off_t lseek(int fd, off_t offset, int whence) {
    using seek_function = off_t (*)(int, off_t, int);
    static const auto real_seek = reinterpret_cast<seek_function>(dlsym(RTLD_NEXT, seek_name));
#if defined(SEEK_HOLE) && defined(SEEK_DATA)
    if (holes != nullptr && fd > 2 && (whence == SEEK_HOLE || whence == SEEK_DATA)) {
        if (std::strcmp(holes, "fail") == 0) {
            errno = EINVAL;
            return -1;
        }
        // No holes: data everywhere, and the only hole the one past the end.
        return whence == SEEK_DATA ? offset : real_seek(fd, 0, SEEK_END);
    }
#endif
    return real_seek(fd, offset, whence);
}
