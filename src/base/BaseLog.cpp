#include "BaseLog.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <cwchar>
#include <iostream>
#include <system_error>
#include <vector>

namespace {

constexpr std::size_t badUtf8 = static_cast<std::size_t>(-1);
constexpr char badUtf8Text[] = "?utf-8?";

// Bytes needed for the UTF-8 form, or badUtf8 when a character has none.
std::size_t Utf8Length(const wchar_t* text, std::size_t length) {
    std::size_t bytes = 0;
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]);
        if (c < 0x80)
            bytes += 1;
        else if (c < 0x800)
            bytes += 2;
        else if (c < 0x10000) {
            if (c >= 0xD800 && c <= 0xDFFF) return badUtf8;
            bytes += 3;
        } else if (c <= 0x10FFFF)
            bytes += 4;
        else
            return badUtf8;
    }
    return bytes;
}

// Writes the UTF-8 form of text, which Utf8Length has accepted, to dst.
void EncodeUtf8(char* dst, const wchar_t* text, std::size_t length) {
    for (std::size_t i = 0; i < length; ++i) {
        const auto c = static_cast<std::uint32_t>(text[i]);
        if (c < 0x80) {
            *dst++ = static_cast<char>(c);
        } else if (c < 0x800) {
            *dst++ = static_cast<char>(0xC0 | (c >> 6));
            *dst++ = static_cast<char>(0x80 | (c & 0x3F));
        } else if (c < 0x10000) {
            *dst++ = static_cast<char>(0xE0 | (c >> 12));
            *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *dst++ = static_cast<char>(0x80 | (c & 0x3F));
        } else {
            *dst++ = static_cast<char>(0xF0 | (c >> 18));
            *dst++ = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
            *dst++ = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
            *dst++ = static_cast<char>(0x80 | (c & 0x3F));
        }
    }
}

std::string Utf8(const std::wstring& text) {
    std::string out;
    const std::size_t bytes = Utf8Length(text.data(), text.size());
    if (bytes == badUtf8) return badUtf8Text;
    out.resize(bytes);
    EncodeUtf8(out.data(), text.data(), text.size());
    return out;
}

constexpr std::size_t stampLength = 20;     // "dd.mm.yyyy hh:mm:ss "
constexpr std::size_t logStampLength = 19;  // "dd.mm.yyyy hh:mm.ss"

// Both stamps of one second. Formatting local time costs far more than queuing a
// line, and lines come in bursts, so each thread keeps the stamps of the last
// second it saw.
struct StampCache {
    std::time_t second = -1;
    char stamp[32] = "00.00.0000 00:00:00 ";
    char logStamp[32] = "00.00.0000 00:00.00";
};

const StampCache& Stamps() {
    thread_local StampCache cache;
    const std::time_t now = std::time(nullptr);
    if (now != cache.second) {
        std::tm t{};
        if (localtime_r(&now, &t) != nullptr) {
            const int year = (t.tm_year + 1900) % 10000;
            std::snprintf(cache.stamp, sizeof cache.stamp, "%02d.%02d.%04d %02d:%02d:%02d ", t.tm_mday,
                          t.tm_mon + 1, year, t.tm_hour, t.tm_min, t.tm_sec);
            std::snprintf(cache.logStamp, sizeof cache.logStamp, "%02d.%02d.%04d %02d:%02d.%02d", t.tm_mday,
                          t.tm_mon + 1, year, t.tm_hour, t.tm_min, t.tm_sec);
        }
        cache.second = now;
    }
    return cache;
}

const wchar_t hexDigits[] = L"0123456789ABCDEF";

}  // namespace

// ---------------------------------------------------------------------------
// CBaseLog::DelayMsg

CBaseLog::DelayMsg::DelayMsg(int minutes)
    : minutes(minutes),
      now([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      nextClean(now() + static_cast<std::int64_t>(minutes) * 60) {}

void CBaseLog::DelayMsg::SetClock(Clock clock) {
    std::lock_guard<std::mutex> lock(mtx);
    now = std::move(clock);
    nextClean = now() + static_cast<std::int64_t>(minutes) * 60;
}

std::size_t CBaseLog::DelayMsg::Size() const {
    std::lock_guard<std::mutex> lock(mtx);
    return lines.size();
}

bool CBaseLog::DelayMsg::IsNeedToPut(const std::string& line) {
    if (minutes <= 0) return true;
    std::lock_guard<std::mutex> lock(mtx);
    const std::int64_t present = now();
    const std::int64_t expiry = present + static_cast<std::int64_t>(minutes) * 60;
    bool put = false;
    auto found = lines.find(line);
    if (found == lines.end()) {
        lines.emplace(line, expiry);
        put = true;
    } else if (found->second <= present) {
        found->second = expiry;
        put = true;
    }
    if (nextClean < present) {
        std::erase_if(lines, [present](const auto& entry) { return entry.second <= present; });
        nextClean = expiry;
    }
    return put;
}

// ---------------------------------------------------------------------------
// CBaseLog: life

CBaseLog::CBaseLog(std::size_t limit, int minutes) : delay(minutes), queue(limit) {}

CBaseLog::~CBaseLog() {
    // Last resort for a subclass that did not close: better to finish the lines
    // than to terminate on a joinable thread.
    Close();
}

std::string CBaseLog::LogDir() {
    if (dir.empty()) return Utf8(Dir());
    return dir;
}

bool CBaseLog::Open(const char* prefixText, const char* extensionText) {
    // Already running: the writer owns the file now.
    if (running.load(std::memory_order_acquire)) return fileOpen.load(std::memory_order_acquire);

    prefixUtf8 = prefixText != nullptr ? prefixText : "";
    prefix = DBString(prefixUtf8.c_str());
    extension = DBString(extensionText != nullptr ? extensionText : "");

    dir = Utf8(Dir());
    for (std::size_t slash = dir.find('/'); slash != std::string::npos; slash = dir.find('/', slash + 1)) {
        const std::string part = dir.substr(0, slash);
        if (!part.empty() && part != ".")
            ::mkdir(part.c_str(), 0775);  // an existing directory is fine; OpenNew reports the rest
    }
    if (!dir.empty()) ::mkdir(dir.c_str(), 0775);

    // A file opened beforehand with OpenNew is kept; either way the writer starts,
    // or nothing queued would ever be written.
    if (!is_open() && !OpenNew(LastNum())) Report(L"CBaseLog::OpenNew 1", errno);

    queue.Reopen();
    running.store(true, std::memory_order_release);
    try {
        writer = std::thread(&CBaseLog::PutProc, this);
    } catch (const std::system_error& e) {
        running.store(false, std::memory_order_release);
        Report(L"CBaseLog::Open thread", e.code().value());
        return false;
    }
    return is_open();
}

void CBaseLog::BeginClose() {
    if (running.load(std::memory_order_acquire)) queue.Close();
}

void CBaseLog::Close() {
    if (running.load(std::memory_order_acquire)) {
        queue.Close();
        if (writer.joinable()) writer.join();
        running.store(false, std::memory_order_release);
    }
    if (is_open()) close();
    SetOpenFile(false);
}

// ---------------------------------------------------------------------------
// CBaseLog: files

DBString CBaseLog::NameFile(int number) {
    wchar_t digits[16];
    std::swprintf(digits, sizeof digits / sizeof digits[0], L"%07d", number);
    std::wstring name = prefix;
    name += digits;
    name += L'.';
    name += extension;
    return DBString(name);
}

int CBaseLog::NumFile(const char* name) {
    if (name == nullptr) return -1;
    const char* point = std::strchr(name, '.');
    if (point == nullptr) return -1;
    if (std::strncmp(name, prefixUtf8.c_str(), prefixUtf8.size()) != 0) return -1;
    const char* digits = name + prefixUtf8.size();
    if (point < digits) return -1;
    // Counted in characters, not bytes: a lead byte starts each UTF-8 character.
    int between = 0;
    for (const char* p = digits; p < point; ++p)
        if ((static_cast<unsigned char>(*p) & 0xC0) != 0x80) ++between;
    if (between <= 1) return -1;
    errno = 0;
    const long value = std::strtol(digits, nullptr, 10);
    // Beyond the seven digits the log writes, a file is not one of its own: a stray number at the
    // edge of int would otherwise become the last number, and rotation would never move on.
    if (errno == ERANGE || value > kMaxFileNumber || value < INT_MIN) return -1;
    return static_cast<int>(value);
}

int CBaseLog::LastNum() {
    int last = 1;
    const std::string path = LogDir();
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return last;
    while (const dirent* entry = ::readdir(d)) {
        const int number = NumFile(entry->d_name);
        if (number > last) last = number;
    }
    ::closedir(d);
    return last;
}

void CBaseLog::ClearOutside(int above, int upTo) {
    const std::string path = LogDir();
    DIR* d = ::opendir(path.c_str());
    if (d == nullptr) return;
    // Collected first: whether readdir still returns entries removed meanwhile is not defined.
    std::vector<std::string> doomed;
    while (const dirent* entry = ::readdir(d)) {
        const int n = NumFile(entry->d_name);
        if (n >= 1 && (n <= above || n > upTo)) doomed.emplace_back(entry->d_name);
    }
    ::closedir(d);
    for (const std::string& name : doomed) ::unlink((path + "/" + name).c_str());
}

bool CBaseLog::OpenNew(int number) {
    curNum = number;
    if (is_open()) close();
    const std::string path = LogDir() + "/" + Utf8(NameFile(number));
    // Opened without following a symbolic link, so a link planted in the log directory cannot
    // send the lines into another file; the stream then reopens the very file opened here.
    const int fd = ::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0644);
    if (fd < 0) {
        SetOpenFile(false);
        return false;
    }
    struct stat st {};
    curSize = ::fstat(fd, &st) == 0 ? st.st_size : 0;
    open("/proc/self/fd/" + std::to_string(fd), std::ios::out | std::ios::app | std::ios::binary);
    const int reopened = errno;
    ::close(fd);
    errno = reopened;
    const int saved = errno;
    const bool ok = is_open();
    SetOpenFile(ok);
    errno = saved;
    return ok;
}

// ---------------------------------------------------------------------------
// CBaseLog: writer thread

void CBaseLog::PutProc() {
    // Lines arriving within a nap of the last batch wait for it, so a steady
    // stream of lines costs its callers no wake-ups of this thread.
    constexpr std::chrono::milliseconds nap(5);
    std::deque<std::string> batch;
    while (queue.ReadAll(batch, nap) > 0) {
        // One write to the file per batch, not one per line.
        for (std::size_t i = 0; i < batch.size(); ++i) PutInner(batch[i], i + 1 == batch.size());
        queue.Recycle(batch);
    }
}

void CBaseLog::PutInner(const std::string& line, bool last) {
    if (!is_open()) {
        if (!OpenNew(curNum)) Report(L"CBaseLog::OpenNew 2", errno);
        if (!is_open()) return;
    }
    if (curSize > fileLimit) {
        close();
        // After the seven-digit numbers the count starts again at 1; files outside the kept
        // numbers go, whatever number they bear, so an old or stray high number cannot hold
        // the count back.
        const int last = std::max(LastNum(), curNum);
        const int next = last >= kMaxFileNumber ? 1 : last + 1;
        ClearOutside(next - 1 - keptFiles, next);
        if (!OpenNew(next)) {
            Report(L"CBaseLog::OpenNew 3", errno);
            return;
        }
    }
    write(line.data(), static_cast<std::streamsize>(line.size()));
    put('\n');
    if (last) flush();
    if (!good()) {
        Report(L"CBaseLog::PutInner !good()", errno);
        close();
        if (OpenNew(curNum)) {
            write(line.data(), static_cast<std::streamsize>(line.size()));
            put('\n');
            flush();
        } else {
            Report(L"CBaseLog::OpenNew 4", errno);
        }
    }
    curSize += static_cast<std::streamoff>(line.size()) + 1;
}

void CBaseLog::Report(const wchar_t* mark, int error) {
    Error(Utf8(CnvErr(mark, error)));
}

void CBaseLog::Error(const std::string& line) {
    // One insertion, so that lines of several logs do not interleave.
    std::cout << (LogDir() + ": " + line + "\n") << std::flush;
}

// ---------------------------------------------------------------------------
// CBaseLog: writing

void CBaseLog::AppendStamp(std::string& out) {
    out.append(Stamps().stamp, stampLength);
}

void CBaseLog::AppendLogStamp(std::string& out) {
    out.append(Stamps().logStamp, logStampLength);
}

void CBaseLog::AppendUtf8(std::string& out, const wchar_t* text, std::size_t length) {
    const std::size_t bytes = Utf8Length(text, length);
    if (bytes == badUtf8) {
        out += badUtf8Text;
        return;
    }
    const std::size_t start = out.size();
    out.resize(start + bytes);
    EncodeUtf8(out.data() + start, text, length);
}

namespace {

// The buffer each thread builds its lines in; StringQueue::Exchange hands it the
// storage of a written line in return, so lines cost no allocation once warm.
std::string& Scratch() {
    thread_local std::string scratch;
    scratch.clear();
    return scratch;
}

// line = the stamp, then the text as UTF-8.
void BuildStamped(std::string& line, const wchar_t* text, std::size_t length, const char* stamp) {
    // Nearly every line is plain ASCII; checking that first lets both loops run
    // without a branch per character.
    std::uint32_t bits = 0;
    for (std::size_t i = 0; i < length; ++i) bits |= static_cast<std::uint32_t>(text[i]);
    if (bits < 0x80) {
        line.resize(stampLength + length);
        char* dst = line.data();
        std::memcpy(dst, stamp, stampLength);
        dst += stampLength;
        for (std::size_t i = 0; i < length; ++i) dst[i] = static_cast<char>(text[i]);
        return;
    }
    line.assign(stamp, stampLength);
    const std::size_t bytes = Utf8Length(text, length);
    if (bytes == badUtf8) {
        line += badUtf8Text;
        return;
    }
    line.resize(stampLength + bytes);
    EncodeUtf8(line.data() + stampLength, text, length);
}

}  // namespace

void CBaseLog::Put(const wchar_t* text) {
    if (text == nullptr) text = L"";
    std::string& line = Scratch();
    BuildStamped(line, text, std::wcslen(text), Stamps().stamp);
    queue.Exchange(line);
}

void CBaseLog::Put(const std::wstring& text) {
    std::string& line = Scratch();
    BuildStamped(line, text.data(), text.size(), Stamps().stamp);
    queue.Exchange(line);
}

void CBaseLog::PutFormat(const wchar_t* format, ...) {
    if (format == nullptr) return;
    wchar_t buffer[4096];
    buffer[0] = L'\0';
    va_list args;
    va_start(args, format);
    // A text too long for the buffer comes back cut and terminated, with -1.
    std::vswprintf(buffer, sizeof buffer / sizeof buffer[0], format, args);
    va_end(args);
    buffer[sizeof buffer / sizeof buffer[0] - 1] = L'\0';
    Put(buffer);
}

void CBaseLog::PutUtf8(const char* text) {
    std::string& line = Scratch();
    AppendStamp(line);
    if (text != nullptr) line += text;
    queue.Exchange(line);
}

void CBaseLog::PutUtf8(const std::string& text) {
    std::string& line = Scratch();
    AppendStamp(line);
    line += text;
    queue.Exchange(line);
}

void CBaseLog::PutDirect(const DBString& text) {
    std::string& line = Scratch();
    AppendUtf8(line, text.data(), text.size());
    queue.Exchange(line);
}

void CBaseLog::PutDirect(const std::string& text) {
    std::string& line = Scratch();
    line += text;
    queue.Exchange(line);
}

void CBaseLog::PutDirect(std::string&& text) {
    queue.Put(std::move(text));
}

void CBaseLog::PutErr(const wchar_t* text, int error) {
    const std::string line = Utf8(CnvErr(text, error));
    if (delay.IsNeedToPut(line)) PutUtf8(line);
}

void CBaseLog::PutMes(const wchar_t* text, const unsigned char* bytes, int count) {
    const std::string line = Utf8(CnvMes(text, bytes, count));
    if (delay.IsNeedToPut(line)) PutUtf8(line);
}

// ---------------------------------------------------------------------------
// CBaseLog: texts

DBString CBaseLog::CnvErr(const wchar_t* text, int error) {
    std::wstring out = text != nullptr ? text : L"";
    if (error != 0) {
        wchar_t number[32];
        std::swprintf(number, sizeof number / sizeof number[0], L": %d - ", error);
        out += number;
        // strerror_r makes up "Unknown error n" for a number the system has no
        // text for; strerrordesc_np returns null for exactly those.
        if (strerrordesc_np(error) == nullptr) {
            out += L'?';
        } else {
            char buffer[256];
            const char* system = strerror_r(error, buffer, sizeof buffer);
            out += DBString(system);
        }
    }
    return DBString(out);
}

DBString CBaseLog::CnvMes(const wchar_t* text, const unsigned char* bytes, int count) {
    constexpr int shown = 30;
    std::wstring out = text != nullptr ? text : L"";
    if (bytes == nullptr || count <= 0) return DBString(out);
    const int n = count < shown ? count : shown;
    out.reserve(out.size() + static_cast<std::size_t>(n) * 3 + 4);
    for (int i = 0; i < n; ++i) {
        out += L' ';
        out += hexDigits[bytes[i] >> 4];
        out += hexDigits[bytes[i] & 0x0F];
    }
    if (count > shown) out += L" ...";
    return DBString(out);
}

std::string CBaseLog::StrMes(const unsigned char* bytes, int count) {
    std::string out;
    if (bytes == nullptr || count <= 0) return out;
    out.resize(static_cast<std::size_t>(count) * 3);
    char* p = out.data();
    for (int i = 0; i < count; ++i) {
        *p++ = static_cast<char>(hexDigits[bytes[i] >> 4]);
        *p++ = static_cast<char>(hexDigits[bytes[i] & 0x0F]);
        *p++ = ' ';
    }
    return out;
}

std::string CBaseLog::ToStr(const in6_addr& address, int port) {
    char text[INET6_ADDRSTRLEN] = "";
    if (::inet_ntop(AF_INET6, &address, text, sizeof text) == nullptr) text[0] = '\0';
    char out[INET6_ADDRSTRLEN + 32];
    std::snprintf(out, sizeof out, "%39s|%05u ", text, static_cast<unsigned>(port));
    return out;
}
