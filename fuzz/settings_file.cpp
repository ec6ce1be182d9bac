// The settings file as the window and the command line load it: any bytes in a file of any
// length. Only an image of exactly 64 bytes is taken, and then word k is bytes 2k and 2k + 1,
// low byte first; anything refused leaves the words as they were. A loaded image saved again
// gives the same bytes.
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <string>

#include "FuzzSupport.h"
#include "SettingsFile.h"

namespace {

std::string Scratch(const char* name) {
    return "/tmp/tolvane-fuzz-" + std::to_string(::getpid()) + "-" + name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    static const std::string in = Scratch("in.046");
    static const std::string out = Scratch("out.046");
    {
        std::ofstream file(in, std::ios::binary | std::ios::trunc);
        file.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    const WordMap before{{7, 0x1234}};
    WordMap words = before;
    SettingsFileError error;
    const bool loaded = LoadSettingsFile(in, words, error);
    FUZZ_CHECK(loaded == (size == static_cast<size_t>(kLuWordBytes)));
    if (!loaded) {
        FUZZ_CHECK(words == before);
        FUZZ_CHECK(error.kind == SettingsFileError::typKind::WrongLength);
        FUZZ_CHECK(error.length == static_cast<long long>(size));
        return 0;
    }
    FUZZ_CHECK(words.size() == static_cast<size_t>(kLuWords));
    for (int k = 0; k < kLuWords; ++k) FUZZ_CHECK(words[k] == (data[2 * k] | (data[2 * k + 1] << 8)));
    FUZZ_CHECK(SaveSettingsFile(out, words, error));
    std::ifstream saved(out, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(saved)), {});
    FUZZ_CHECK(bytes == std::string(reinterpret_cast<const char*>(data), size));
    return 0;
}
