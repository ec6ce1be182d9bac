#include "utilities.h"

#include <arpa/inet.h>

#include <cstring>

in6_addr NulIPv6() {
    in6_addr a;
    ClearIPv6(a);
    return a;
}

void ClearIPv6(in6_addr& a) {
    std::memset(&a, 0, sizeof a);
}

in6_addr LocalHostIPv6() {
    in6_addr a = NulIPv6();
    a.s6_addr[15] = 1;
    return a;
}

in6_addr ToIPv6(int v4) {
    in6_addr a = NulIPv6();
    a.s6_addr[10] = 0xFF;
    a.s6_addr[11] = 0xFF;
    std::memcpy(&a.s6_addr[12], &v4, 4);
    return a;
}

bool isNulIPv6(const in6_addr& a) {
    static const in6_addr mappedNul = ToIPv6(0);
    return isEqIPv6(a, in6_addr{}) || isEqIPv6(a, mappedNul);
}

bool isEqIPv6(const in6_addr& a, const in6_addr& b) {
    return std::memcmp(a.s6_addr, b.s6_addr, sizeof a.s6_addr) == 0;
}

in6_addr IP6FromStr(const std::string& text) {
    in_addr v4{};
    if (::inet_pton(AF_INET, text.c_str(), &v4) == 1) {
        return ToIPv6(static_cast<int>(v4.s_addr));
    }
    in6_addr a = NulIPv6();
    if (::inet_pton(AF_INET6, text.c_str(), &a) != 1) {
        ClearIPv6(a);
    }
    return a;
}

std::string IPv6ToStr(const in6_addr& a) {
    char text[INET6_ADDRSTRLEN] = {};
    if (::inet_ntop(AF_INET6, &a, text, sizeof text) == nullptr) {
        return std::string();
    }
    return text;
}

DBString IPv6ToStrW(const in6_addr& a) {
    return DBString(IPv6ToStr(a));
}

std::string IPv6PortToStr(const in6_addr& a, int port) {
    // Appended piece by piece: GCC 12 at -O3 misreads a chain of string + as overlapping copies.
    std::string text(1, ' ');
    text.append(IPv6ToStr(a));
    text.push_back('|');
    text.append(std::to_string(port));
    text.push_back(' ');
    return text;
}

DBString IPv6PortToStrW(const in6_addr& a, int port) {
    return DBString(IPv6PortToStr(a, port));
}
