// bytehunt string infile: prints the offset of every occurrence of the bytes
// that the hex `string` stands for in `infile`.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <exception>
#include <new>
#include <string>
#include <thread>

#if !defined(_WIN32)
#include <pthread.h>
#include <sys/resource.h>
#endif

#include "arguments.hpp"
#include "console.hpp"
#include "input.hpp"
#include "pattern.hpp"
#include "scan.hpp"

namespace {

// Exit statuses.
constexpr int exit_found_or_not = 0;
constexpr int exit_bad_arguments = 1;
constexpr int exit_io_failure = 2;

// Flushes standard output and returns the status to exit with: `status`, or
// exit_io_failure when the output could not be written. `write_error` is the
// errno of an earlier failed write, if any. A reader that went away (EPIPE)
// ends the run quietly; any other failure is said on standard error, the only
// place left to say it.
int finish(int status, int write_error = 0) {
    if (std::fflush(stdout) != 0 && write_error == 0) write_error = errno != 0 ? errno : EIO;
    if (write_error == 0 && std::ferror(stdout) != 0) write_error = EIO;
    if (write_error == 0) return status;
    if (write_error != EPIPE) std::fputs("Error writing output\n", stderr);
    return exit_io_failure;
}

int report_parse_failure(int result) {
    switch (result) {
        case parse_odd_length: std::printf("String must be a multiple of 2 characters long\n"); break;
        case parse_bad_character:
            std::printf("Invalid characters in string.\nEach character must be in the range [0-9|A-F|a-f]\n");
            break;
        default:
            std::printf("Search string can only be upto %d bytes\n", static_cast<int>(pattern_capacity));
            break;
    }
    return finish(exit_bad_arguments);
}

// Stack for each thread that searches: ten times what its deepest call was
// measured to need (6 KiB, a thrown bad_alloc included). glibc otherwise
// gives threads the stack limit the process inherits: too small to search
// under `ulimit -s 16`, and under a large one address space that a memory
// limit needs for the search itself.
constexpr std::size_t thread_stack_size = std::size_t{64} << 10;

// Whether the stack limit the process inherited gives this thread less
// than a searching thread gets. The limit holds the arguments, the
// environment and a random gap too, so what is left of 16 KiB cannot be
// known in advance.
bool small_stack() {
#if defined(_WIN32)
    return false;
#else
    struct rlimit limit {};
    return getrlimit(RLIMIT_STACK, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY &&
           limit.rlim_cur < thread_stack_size;
#endif
}

// scan_file, on a thread of its own when this thread's stack is small
// (here, where no thread can be had). Out of memory is thrown here.
scan_result scan_on_stack_enough(std::FILE* stream) {
    if (!small_stack()) return scan_file(stream);
    scan_result result{};
    std::exception_ptr failure;
    std::thread searching;
    try {
        searching = std::thread([&] {
            try {
                result = scan_file(stream);
            } catch (...) {
                failure = std::current_exception();
            }
        });
    } catch (const std::exception&) {
        return scan_file(stream);
    }
    searching.join();
    if (failure) std::rethrow_exception(failure);
    return result;
}

// Undoes what a parent may leave behind that would change how the program
// ends: before any thread starts, so that every thread inherits it.
void settle_inherited_state() {
#if defined(SIGPIPE)
    // A closed pipe shows up as EPIPE from the write, handled in finish().
    std::signal(SIGPIPE, SIG_IGN);
#endif
#if defined(SIGXFSZ)
    // Output beyond the file size limit fails with EFBIG, said in finish(),
    // rather than killing the program.
    std::signal(SIGXFSZ, SIG_IGN);
#endif
#if !defined(_WIN32)
    // A map's fault must reach its handler: a blocked SIGBUS raised by the
    // system kills the program instead, and the offsets with it.
    sigset_t bus;
    sigemptyset(&bus);
    sigaddset(&bus, SIGBUS);
    pthread_sigmask(SIG_UNBLOCK, &bus, nullptr);
#endif
#if defined(__GLIBC__)
    pthread_attr_t defaults;
    if (pthread_attr_init(&defaults) == 0) {
        (void)pthread_attr_setstacksize(&defaults, thread_stack_size);
        (void)pthread_setattr_default_np(&defaults);
        pthread_attr_destroy(&defaults);
    }
#endif
}

}  // namespace

int main(int argc, char** argv) {
    argv = bytehunt::utf8_arguments(argc, argv);
    settle_inherited_state();
    if (argc != 3) {
        std::printf("Usage: bytehunt string infile\nstring=[[0-9|A-F|a-f][0-9|A-F|a-f]]+\n");
        return finish(exit_bad_arguments);
    }

    const int parsed = parse_search_string(argv[1]);
    if (parsed < 0) return report_parse_failure(parsed);

    const char* path = argv[2];
    std::FILE* stream = bytehunt::open_input(path);
    if (stream == nullptr) {
        bytehunt::print_text(std::string("Cannot open ") + path + "\n");
        return finish(exit_io_failure);
    }

    if (bytehunt::input_is_output(stream)) {
        // Searching it would find the report's own lines and write more
        // until the disk is full; nothing is written to it.
        std::fclose(stream);
        std::fputs((std::string("Input file ") + path + " is also the output\n").c_str(), stderr);
        return exit_io_failure;
    }

    scan_result result{};
    try {
        result = scan_on_stack_enough(stream);
    } catch (const std::bad_alloc&) {
        // What was found before memory ran out has been printed.
        std::fclose(stream);
        std::fflush(stdout);
        std::fputs("Out of memory\n", stderr);
        return exit_io_failure;
    }
    std::fclose(stream);  // read-only: nothing can be lost here

    switch (result.outcome) {
        case bytehunt::scan_outcome::complete: return finish(exit_found_or_not);
        case bytehunt::scan_outcome::read_failed:
            bytehunt::print_text(std::string("Error reading ") + path + "\n");
            return finish(exit_io_failure);
        case bytehunt::scan_outcome::write_failed: break;
    }
    // A failed write is always said (or, for a reader gone, kept quiet),
    // even when no errno was recorded for it.
    return finish(exit_io_failure, result.error_code != 0 ? result.error_code : EIO);
}
