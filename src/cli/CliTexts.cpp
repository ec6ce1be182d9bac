#include "CliTexts.h"

#include <cstdarg>
#include <cwchar>
#include <vector>

#include "LoadRes.h"

std::string Text(int number) {
    return _S_(number).ToStr();
}

std::string TextF(int number, ...) {
    const DBString format = _S_(number);
    std::vector<wchar_t> buffer(4096);
    va_list args;
    va_start(args, number);
    const int n = std::vswprintf(buffer.data(), buffer.size(), format.c_str(), args);
    va_end(args);
    // A text that does not fit is cut, as the windows' own formatting cuts it.
    if (n < 0) buffer.back() = L'\0';
    return DBString(buffer.data()).ToStr();
}

DBString Wide(const std::string& utf8) {
    return DBString(utf8);
}
