// udp_rtt: the loopback UDP round trip on this machine, the yardstick for the link timings of
// the main-job benchmark. One thread echoes every datagram it gets; the main thread sends a
// datagram, waits for its echo and times the pair. A peer that wakes on a datagram and answers
// it is what the tool meets in the lift unit, so a thread switch belongs in the figure.
//
// Usage: udp_rtt [-n count] [-s bytes] [-a address]   (defaults: 1000 round trips, 40 bytes, ::1)
// Output: one line "udp_rtt: <n> round trips of <s> bytes on [<a>]: median <x> us, min <y> us,
//         p90 <z> us"; exit status 0, or 1 with a reason on stderr.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace {

// A socket that closes itself, so every early return leaves no descriptor behind.
class Socket {
public:
    Socket() = default;
    explicit Socket(int fd) : fd_(fd) {}
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;
    ~Socket() {
        if (fd_ >= 0) ::close(fd_);
    }
    int Get() const { return fd_; }

private:
    int fd_ = -1;
};

[[noreturn]] void Fail(const std::string& what) {
    throw std::runtime_error(what + ": " + std::strerror(errno));
}

// A UDP socket bound to port 0 of the given loopback address (the kernel picks the port).
int OpenBound(const sockaddr_storage& where, socklen_t length, sockaddr_storage& bound) {
    int fd = ::socket(where.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) Fail("socket()");
    if (::bind(fd, reinterpret_cast<const sockaddr*>(&where), length) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        Fail("bind()");
    }
    socklen_t got = sizeof bound;
    if (::getsockname(fd, reinterpret_cast<sockaddr*>(&bound), &got) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        Fail("getsockname()");
    }
    return fd;
}

// Waits at most `ms` for the socket to become readable; a lost datagram must not hang the run.
bool Readable(int fd, int ms) {
    pollfd p{fd, POLLIN, 0};
    int r;
    do {
        r = ::poll(&p, 1, ms);
    } while (r < 0 && errno == EINTR);
    if (r < 0) Fail("poll()");
    return r > 0;
}

long ParseCount(const char* text, const char* what, long low, long high) {
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(text, &end, 10);
    if (errno != 0 || end == text || *end != '\0' || v < low || v > high)
        throw std::runtime_error(std::string("bad ") + what + " '" + text + "' (" + std::to_string(low) +
                                 ".." + std::to_string(high) + ")");
    return v;
}

}  // namespace

int main(int argc, char** argv) {
    long count = 1000;
    long size = 40;
    std::string address = "::1";
    try {
        for (int i = 1; i < argc; ++i) {
            std::string a = argv[i];
            if ((a == "-n" || a == "-s" || a == "-a") && i + 1 < argc) {
                const char* v = argv[++i];
                if (a == "-n")
                    count = ParseCount(v, "count", 1, 10'000'000);
                else if (a == "-s")
                    size = ParseCount(v, "size", 1, 65'000);
                else
                    address = v;
            } else {
                std::fprintf(stderr, "usage: %s [-n count] [-s bytes] [-a address]\n", argv[0]);
                return a == "-h" || a == "--help" ? 0 : 1;
            }
        }

        sockaddr_storage where{};
        socklen_t length = 0;
        auto* v6 = reinterpret_cast<sockaddr_in6*>(&where);
        auto* v4 = reinterpret_cast<sockaddr_in*>(&where);
        if (::inet_pton(AF_INET6, address.c_str(), &v6->sin6_addr) == 1) {
            v6->sin6_family = AF_INET6;
            length = sizeof(sockaddr_in6);
        } else if (::inet_pton(AF_INET, address.c_str(), &v4->sin_addr) == 1) {
            v4->sin_family = AF_INET;
            length = sizeof(sockaddr_in);
        } else {
            throw std::runtime_error("not an address: " + address);
        }

        sockaddr_storage echoAt{};
        sockaddr_storage pingAt{};
        Socket echo(OpenBound(where, length, echoAt));
        Socket ping(OpenBound(where, length, pingAt));
        if (::connect(ping.Get(), reinterpret_cast<const sockaddr*>(&echoAt), length) != 0) Fail("connect()");

        std::atomic<bool> stop{false};
        std::atomic<int> echoErrno{0};
        std::thread echoer([&] {
            std::vector<unsigned char> buffer(65'536);
            while (!stop.load(std::memory_order_relaxed)) {
                try {
                    if (!Readable(echo.Get(), 100)) continue;
                } catch (const std::exception&) {
                    echoErrno = errno;
                    return;
                }
                sockaddr_storage from{};
                socklen_t fromLength = sizeof from;
                ssize_t n = ::recvfrom(echo.Get(), buffer.data(), buffer.size(), 0,
                                       reinterpret_cast<sockaddr*>(&from), &fromLength);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    echoErrno = errno;
                    return;
                }
                ::sendto(echo.Get(), buffer.data(), static_cast<size_t>(n), 0,
                         reinterpret_cast<sockaddr*>(&from), fromLength);
            }
        });
        // The echo thread must end on every path, a failed send included.
        struct Joiner {
            std::atomic<bool>& stop;
            std::thread& t;
            ~Joiner() {
                stop = true;
                t.join();
            }
        } joiner{stop, echoer};

        std::vector<unsigned char> out(static_cast<size_t>(size));
        std::vector<unsigned char> in(static_cast<size_t>(size) + 1);
        std::vector<double> micros;
        micros.reserve(static_cast<size_t>(count));
        int lost = 0;
        for (long k = 0; k < count; ++k) {
            // A sequence number in the first bytes tells a late echo of a lost round from this one.
            for (size_t b = 0; b < out.size(); ++b)
                out[b] = static_cast<unsigned char>((k >> (8 * (b % 4))) + b / 4);
            auto start = std::chrono::steady_clock::now();
            if (::send(ping.Get(), out.data(), out.size(), 0) < 0) Fail("send()");
            bool matched = false;
            while (!matched) {
                if (!Readable(ping.Get(), 1000)) break;
                ssize_t n = ::recv(ping.Get(), in.data(), in.size(), 0);
                if (n < 0) {
                    if (errno == EINTR) continue;
                    Fail("recv()");
                }
                matched =
                    static_cast<size_t>(n) == out.size() && std::equal(out.begin(), out.end(), in.begin());
            }
            if (!matched) {
                if (echoErrno.load() != 0) {
                    errno = echoErrno.load();
                    Fail("echo thread");
                }
                if (++lost > 10) throw std::runtime_error("more than 10 datagrams lost on loopback");
                continue;
            }
            micros.push_back(
                std::chrono::duration<double, std::micro>(std::chrono::steady_clock::now() - start).count());
        }

        std::sort(micros.begin(), micros.end());
        auto at = [&](double q) {
            return micros[static_cast<size_t>(q * static_cast<double>(micros.size() - 1))];
        };
        double median = micros.size() % 2 ? micros[micros.size() / 2]
                                          : (micros[micros.size() / 2 - 1] + micros[micros.size() / 2]) / 2;
        std::printf(
            "udp_rtt: %zu round trips of %ld bytes on [%s]: median %.1f us, min %.1f us, p90 %.1f us\n",
            micros.size(), size, address.c_str(), median, micros.front(), at(0.9));
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "udp_rtt: %s\n", e.what());
        return 1;
    }
}
