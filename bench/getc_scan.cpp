// The baseline the benchmark compares against: one getc call per byte and a
// count of matched pattern bytes, the plain way to scan a stream. It may miss
// an occurrence that begins inside a broken partial match; it is here for its
// speed, not its answers. Prints the number of occurrences found.
// Usage: getc_scan HEX FILE
#include <cstdio>
#include <cstdlib>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 3) return 1;
    std::vector<int> needle;
    for (const char* p = argv[1]; p[0] != '\0' && p[1] != '\0'; p += 2) {
        const char pair[3] = {p[0], p[1], '\0'};
        needle.push_back(static_cast<int>(std::strtoul(pair, nullptr, 16)));
    }
    std::FILE* file = std::fopen(argv[2], "rb");
    if (file == nullptr || needle.empty()) return 1;
    unsigned long long count = 0;
    std::size_t matched = 0;
    for (int ch; (ch = std::getc(file)) != EOF;) {
        if (ch != needle[matched]) matched = 0;
        if (ch == needle[matched] && ++matched == needle.size()) {
            ++count;
            matched = 0;
        }
    }
    std::printf("%llu\n", count);
    std::fclose(file);
    return 0;
}
