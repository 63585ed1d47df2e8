// Preloaded into the program under test (LD_PRELOAD) to make its input
// misbehave on cue. It wraps read() and mmap() on descriptors above 2:
//   BYTEHUNT_TEST_FAIL_AFTER=N   reads fail with EIO once N bytes were read;
//                                maps are refused, so that everything is read.
//   BYTEHUNT_TEST_RESIZE_AFTER=N with BYTEHUNT_TEST_RESIZE_TO=M
//                                once N bytes were read or mapped, the file
//                                is cut or extended (with zeros) to M bytes,
//                                right after the map that reached N.
#include <dlfcn.h>
#include <sys/mman.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>

namespace {

long long setting(const char* name) {
    const char* text = std::getenv(name);
    return text == nullptr ? -1 : std::atoll(text);
}

using read_function = ssize_t (*)(int, void*, size_t);
using map_function = void* (*)(void*, size_t, int, int, int, off_t);

const long long fail_after = setting("BYTEHUNT_TEST_FAIL_AFTER");
const long long resize_after = setting("BYTEHUNT_TEST_RESIZE_AFTER");
const long long resize_to = setting("BYTEHUNT_TEST_RESIZE_TO");
long long total = 0;  // bytes read or mapped
bool resized = false;

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

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto real_read = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    if (fd <= 2) return real_read(fd, buffer, count);

    if (fail_after >= 0) {
        if (total >= fail_after) {
            errno = EIO;
            return -1;
        }
        if (static_cast<long long>(count) > fail_after - total)
            count = static_cast<size_t>(fail_after - total);
    }
    resize_when_due(fd);
    const ssize_t got = real_read(fd, buffer, count);
    if (got > 0) total += got;
    return got;
}

// With 64-bit offsets on a 32-bit system, the headers name this mmap64, and
// so must the lookup of the real one.
extern "C" void* mmap(void* address, size_t length, int protection, int flags, int fd, off_t offset) {
    static const auto real_map =
        reinterpret_cast<map_function>(dlsym(RTLD_NEXT, sizeof(off_t) > sizeof(long) ? "mmap64" : "mmap"));
    if (fd <= 2) return real_map(address, length, protection, flags, fd, offset);
    if (fail_after >= 0) {
        errno = ENODEV;
        return MAP_FAILED;
    }
    void* const view = real_map(address, length, protection, flags, fd, offset);
    if (view != MAP_FAILED) {
        total += static_cast<long long>(length);
        resize_when_due(fd);
    }
    return view;
}
