#include "arguments.hpp"

#if defined(_WIN32)
// shellapi.h needs windows.h first.
// clang-format off
#include <windows.h>
#include <shellapi.h>
// clang-format on

#include <string>
#include <vector>

namespace bytehunt {

namespace {

std::string to_utf8(const wchar_t* text) {
    const int size = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
    if (size <= 0) return {};
    std::string converted(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text, -1, &converted[0], size, nullptr, nullptr);
    converted.resize(static_cast<std::size_t>(size) - 1);  // drop the terminating NUL
    return converted;
}

}  // namespace

char** utf8_arguments(int& argc, char** argv) {
    static std::vector<std::string> strings;
    static std::vector<char*> pointers;
    int count = 0;
    wchar_t** wide = CommandLineToArgvW(GetCommandLineW(), &count);
    if (wide == nullptr) return argv;
    for (int i = 0; i < count; ++i) strings.push_back(to_utf8(wide[i]));
    LocalFree(wide);
    for (std::string& s : strings) pointers.push_back(&s[0]);
    pointers.push_back(nullptr);
    argc = count;
    return pointers.data();
}

}  // namespace bytehunt

#else

namespace bytehunt {

char** utf8_arguments(int& /*argc*/, char** argv) {
    return argv;
}

}  // namespace bytehunt

#endif
