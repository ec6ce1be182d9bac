#pragma once

#include <netinet/in.h>

#include <string>

#include "DBString.h"

// Every endpoint keeps its addresses as IPv6, IPv4 peers in the mapped form
// ::ffff:a.b.c.d, so one socket family serves both.

in6_addr NulIPv6();
void ClearIPv6(in6_addr& a);
in6_addr LocalHostIPv6();
// v4 in network byte order, as in in_addr::s_addr.
in6_addr ToIPv6(int v4);
// The all-zero address and its mapped IPv4 twin ::ffff:0.0.0.0.
bool isNulIPv6(const in6_addr& a);
bool isEqIPv6(const in6_addr& a, const in6_addr& b);
// Dotted IPv4 (mapped), else IPv6 text; anything else gives the all-zero address.
in6_addr IP6FromStr(const std::string& text);
std::string IPv6ToStr(const in6_addr& a);
DBString IPv6ToStrW(const in6_addr& a);
// " address|port ": the form the error reports put between their words.
std::string IPv6PortToStr(const in6_addr& a, int port);
DBString IPv6PortToStrW(const in6_addr& a, int port);
