// A check for loops that must advance on every turn. A fault in the search
// would otherwise turn into a loop that never ends; in test and debug builds
// (BYTEHUNT_CHECKS) it stops the program at once, saying where.
#pragma once

#include <cstdio>
#include <cstdlib>

namespace bytehunt {

[[noreturn]] inline void check_failed(const char* condition, const char* file, int line) {
    std::fprintf(stderr, "%s:%d: check failed: %s\n", file, line, condition);
    std::abort();
}

}  // namespace bytehunt

#if defined(BYTEHUNT_CHECKS)
#define BYTEHUNT_CHECK(condition) \
    ((condition) ? (void)0 : ::bytehunt::check_failed(#condition, __FILE__, __LINE__))
#else
#define BYTEHUNT_CHECK(condition) ((void)sizeof(condition))  // not evaluated
#endif
