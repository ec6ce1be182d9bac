// Prints texts of the built-in message table in both languages, for translators and for
// checking what a window or a log line will say.
//   tolvane-texts 1104 1107      the given numbers
//   tolvane-texts --all          every number that has a text
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "LoadRes.h"

namespace {

// Line breaks are shown escaped so that one number stays on one output line.
std::string OneLine(const DBString& text) {
    std::string out;
    for (char c : text.ToStr()) {
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out;
}

bool Print(int number) {
    unsigned char probe[256];
    const ResTable en = ResTableENU();
    const ResTable ru = ResTableRUS();
    const bool any = LoadString(probe, sizeof probe, en.start, en.end, number) > 0 ||
                     LoadString(probe, sizeof probe, ru.start, ru.end, number) > 0;
    std::printf("%d\ten\t%s\n%d\tru\t%s\n", number, OneLine(LoadStringFromResourceENU(number)).c_str(),
                number, OneLine(LoadStringFromResource(number)).c_str());
    return any;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s NUMBER... | --all\n", argv[0]);
        return 2;
    }
    if (std::strcmp(argv[1], "--all") == 0) {
        unsigned char probe[256];
        const ResTable en = ResTableENU();
        for (int n = 0; n <= 65535; ++n)
            if (LoadString(probe, sizeof probe, en.start, en.end, n) > 0) Print(n);
        return 0;
    }
    int status = 0;
    for (int i = 1; i < argc; ++i) {
        char* end = nullptr;
        errno = 0;
        const long n = std::strtol(argv[i], &end, 10);
        if (errno != 0 || end == argv[i] || *end != '\0' || n < 0 || n > 65535) {
            std::fprintf(stderr, "%s: not a message number: %s\n", argv[0], argv[i]);
            status = 2;
            continue;
        }
        if (!Print(static_cast<int>(n))) status = 1;
    }
    return status;
}
