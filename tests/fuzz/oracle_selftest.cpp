// Shows that the fuzz target's rules can fail: every seed passes them as
// run, and each corruption of what a run did must break one of them.
#include "fuzz_case.h"

#include <dirent.h>
#include <stdio.h>

#include <fstream>
#include <iterator>

namespace {

struct Corruption {
    const char *what;
    bool (*apply)(Observed &seen); // false where it does not apply
};

const Corruption CORRUPTIONS[] = {
    {"result 3", [](Observed &s) { return s.result = 3, true; }},
    {"result flipped", [](Observed &s) { return s.result = s.result == 0 ? 1 : 0, true; }},
    {"a line more", [](Observed &s) { return s.out += "map failed: 5\n", true; }},
    {"last byte lost", [](Observed &s) { return !s.out.empty() && (s.out.pop_back(), true); }},
    {"standard error", [](Observed &s) { return s.err = "x", true; }},
    {"handle left open", [](Observed &s) { return s.open_handles = 1, true; }},
    {"stray close", [](Observed &s) { return s.stray_closes = 1, true; }},
    {"foreign call",
     [](Observed &s) {
         s.calls.push_back("GetVersion()");
         s.data.push_back("");
         return true;
     }},
};

std::string read_file(const std::string &path)
{
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2) {
        fprintf(stderr, "usage: %s CORPUS_DIR\n", argv[0]);
        return 2;
    }
    DIR *dir = opendir(argv[1]);
    if (dir == NULL) {
        perror(argv[1]);
        return 2;
    }
    int seeds = 0, failures = 0;
    while (dirent *entry = readdir(dir)) {
        if (entry->d_name[0] == '.')
            continue;
        ++seeds;
        std::string bytes = read_file(std::string(argv[1]) + "/" + entry->d_name);
        FuzzCase c = decode(reinterpret_cast<const uint8_t *>(bytes.data()), bytes.size());
        Observed seen = run_case(c);
        std::string broken = violation(c, seen);
        if (!broken.empty()) {
            printf("%s: broke a rule as run: %s\n", entry->d_name, broken.c_str());
            ++failures;
        }
        for (const Corruption &corruption : CORRUPTIONS) {
            Observed changed = seen;
            if (corruption.apply(changed) && violation(c, changed).empty()) {
                printf("%s: corruption not caught: %s\n", entry->d_name, corruption.what);
                ++failures;
            }
        }
    }
    closedir(dir);
    printf("%d seeds, %d failures\n", seeds, failures);
    return seeds > 0 && failures == 0 ? 0 : 1;
}
