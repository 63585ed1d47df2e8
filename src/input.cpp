#include "input.hpp"

#include <cerrno>

#if defined(_WIN32)
#include <io.h>
#include <windows.h>

#include <string>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#if defined(__linux__)
#include <linux/fs.h>
#include <sys/ioctl.h>
#endif
#endif

namespace bytehunt {

stream_source::stream_source(std::FILE* stream) : stream_(stream) {
#if defined(_WIN32)
    // Blocks are large, so the stream's own buffer would only add a copy.
    std::setvbuf(stream_, nullptr, _IONBF, 0);
#else
    struct stat info {};
    if (fstat(fileno(stream_), &info) != 0) return;
#if defined(POSIX_FADV_SEQUENTIAL)
    // Larger read-ahead for files and disks read front to back.
    if (S_ISREG(info.st_mode) || S_ISBLK(info.st_mode))
        (void)posix_fadvise(fileno(stream_), 0, 0, POSIX_FADV_SEQUENTIAL);
#endif
#if defined(F_SETPIPE_SZ)
    // A larger pipe lets the writer run ahead: fewer switches between the two
    // processes. Refused above the system's limit, which is harmless.
    if (S_ISFIFO(info.st_mode)) (void)fcntl(fileno(stream_), F_SETPIPE_SZ, 1 << 20);
#endif
#endif
}

read_result stream_source::read(std::uint8_t* into, std::size_t capacity) {
#if defined(_WIN32)
    const std::size_t count = std::fread(into, 1, capacity, stream_);
    if (count == 0 && std::ferror(stream_) != 0) return {0, true};
    return {count, false};
#else
    // Straight from the descriptor: the stream is never read through stdio,
    // so nothing is buffered behind this one call per block.
    for (;;) {
        const ssize_t count = ::read(fileno(stream_), into, capacity);
        if (count >= 0) return {static_cast<std::size_t>(count), false};
        if (errno != EINTR) return {0, true};
    }
#endif
}

bool stream_source::seek(std::uint64_t offset) {
#if defined(_WIN32)
    return _fseeki64(stream_, static_cast<long long>(offset), SEEK_SET) == 0;
#else
    return lseek(fileno(stream_), static_cast<off_t>(offset), SEEK_SET) == static_cast<off_t>(offset);
#endif
}

std::FILE* open_input(const char* path) {
#if defined(_WIN32)
    // The wide API opens every path that Windows can name, not only those
    // that fit the ANSI code page. It refuses directories by itself.
    const int size = MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, nullptr, 0);
    if (size <= 0) return nullptr;
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, MB_ERR_INVALID_CHARS, path, -1, &wide[0], size);
    return _wfopen(wide.c_str(), L"rb");
#else
    std::FILE* stream = std::fopen(path, "rb");
    if (stream == nullptr) return nullptr;
    // Opening a directory for reading succeeds on POSIX; reading it does not.
    struct stat info {};
    if (fstat(fileno(stream), &info) != 0 || S_ISDIR(info.st_mode)) {
        std::fclose(stream);
        return nullptr;
    }
    if (fileno(stream) > STDERR_FILENO) return stream;
    // A standard stream was closed at start and the file took its place:
    // it moves above them, and the stream is closed again.
    const int moved = fcntl(fileno(stream), F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    std::FILE* const high = moved < 0 ? nullptr : fdopen(moved, "rb");
    if (high == nullptr && moved >= 0) close(moved);
    std::fclose(stream);
    return high;
#endif
}

#if !defined(_WIN32)
namespace {

// The size of the block device open as `descriptor`, or 0 where it cannot
// be told. Where the system has no call for it, the end found by a seek
// (put back where it was: the stream is read on from there).
std::uint64_t device_size(int descriptor) {
#if defined(BLKGETSIZE64)
    std::uint64_t size = 0;
    if (ioctl(descriptor, BLKGETSIZE64, &size) == 0) return size;
#endif
    const off_t at = lseek(descriptor, 0, SEEK_CUR);
    if (at < 0) return 0;
    const off_t end = lseek(descriptor, 0, SEEK_END);
    if (lseek(descriptor, at, SEEK_SET) != at || end < 0) return 0;
    return static_cast<std::uint64_t>(end);
}

}  // namespace
#endif

std::uint64_t file_size(int descriptor) {
#if defined(_WIN32)
    const auto file = reinterpret_cast<HANDLE>(_get_osfhandle(descriptor));
    LARGE_INTEGER size{};
    if (file == INVALID_HANDLE_VALUE || GetFileType(file) != FILE_TYPE_DISK ||
        GetFileSizeEx(file, &size) == 0 || size.QuadPart < 0) {
        return 0;
    }
    return static_cast<std::uint64_t>(size.QuadPart);
#else
    struct stat info {};
    if (fstat(descriptor, &info) != 0) return 0;
    if (S_ISBLK(info.st_mode)) return device_size(descriptor);
    if (!S_ISREG(info.st_mode) || info.st_size < 0) return 0;
    return static_cast<std::uint64_t>(info.st_size);
#endif
}

bool same_file(const file_identity& a, const file_identity& b) {
    return a.device == b.device && a.index == b.index;
}

bool input_is_output(std::FILE* stream) {
#if defined(_WIN32)
    const auto input = reinterpret_cast<HANDLE>(_get_osfhandle(_fileno(stream)));
    const HANDLE output = GetStdHandle(STD_OUTPUT_HANDLE);
    BY_HANDLE_FILE_INFORMATION in{};
    BY_HANDLE_FILE_INFORMATION out{};
    if (output == INVALID_HANDLE_VALUE || GetFileType(output) != FILE_TYPE_DISK ||
        GetFileInformationByHandle(input, &in) == 0 || GetFileInformationByHandle(output, &out) == 0) {
        return false;
    }
    const auto identify = [](const BY_HANDLE_FILE_INFORMATION& info) {
        return file_identity{info.dwVolumeSerialNumber,
                             std::uint64_t{info.nFileIndexHigh} << 32 | info.nFileIndexLow};
    };
    return same_file(identify(in), identify(out));
#else
    struct stat in {};
    struct stat out {};
    if (fstat(fileno(stream), &in) != 0 || fstat(STDOUT_FILENO, &out) != 0) return false;
    // One disk under two names is still one disk.
    if (S_ISBLK(in.st_mode) && S_ISBLK(out.st_mode)) return in.st_rdev == out.st_rdev;
    if (!S_ISREG(out.st_mode)) return false;
    const auto identify = [](const struct stat& info) {
        return file_identity{static_cast<std::uint64_t>(info.st_dev),
                             static_cast<std::uint64_t>(info.st_ino)};
    };
    return same_file(identify(in), identify(out));
#endif
}

}  // namespace bytehunt
