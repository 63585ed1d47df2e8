// Preloaded into the program under test (LD_PRELOAD) to make its input
// misbehave on cue. It wraps read() on descriptors above 2:
//   BYTEHUNT_TEST_FAIL_AFTER=N   reads fail with EIO once N bytes were read.
//   BYTEHUNT_TEST_RESIZE_AFTER=N with BYTEHUNT_TEST_RESIZE_TO=M
//                                once N bytes were read, the file being read
//                                is cut or extended (with zeros) to M bytes.
#include <dlfcn.h>
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

}  // namespace

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
    static const auto real_read = reinterpret_cast<read_function>(dlsym(RTLD_NEXT, "read"));
    static const long long fail_after = setting("BYTEHUNT_TEST_FAIL_AFTER");
    static const long long resize_after = setting("BYTEHUNT_TEST_RESIZE_AFTER");
    static const long long resize_to = setting("BYTEHUNT_TEST_RESIZE_TO");
    static long long total = 0;
    static bool resized = false;
    if (fd <= 2) return real_read(fd, buffer, count);

    if (fail_after >= 0) {
        if (total >= fail_after) {
            errno = EIO;
            return -1;
        }
        if (static_cast<long long>(count) > fail_after - total)
            count = static_cast<size_t>(fail_after - total);
    }
    if (resize_after >= 0 && !resized && total >= resize_after) {
        char link[64];
        char path[PATH_MAX];
        std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
        const ssize_t length = readlink(link, path, sizeof path - 1);
        if (length > 0) {
            path[length] = '\0';
            resized = truncate(path, resize_to) == 0;
        }
    }
    const ssize_t got = real_read(fd, buffer, count);
    if (got > 0) total += got;
    return got;
}
