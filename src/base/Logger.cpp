#include "Logger.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <memory>
#include <mutex>
#include <vector>

namespace {

constexpr std::size_t queueLimit = 1000;

bool UsableHome(const char* path) {
    if (path == nullptr || path[0] != '/') return false;
    // A path that is not UTF-8 would become "?utf-32?" as a DBString, which is a
    // relative path.
    const DBString wide(path);
    return !wide.empty() && wide[0] == L'/';
}

DBString ToolDir(const char* name) {
    return DBString((LogHome() + "/ZARN/logs/Tolvane/" + name).c_str());
}

// A packet as one line: "0" (protocol log only), ">" when sent, the peer, the time,
// "<" when received, the bytes in hexadecimal. No Put stamp: the line has its own.
std::string PacketLine(bool leadingZero, typRec direction, const in6_addr& address, int port,
                       const unsigned char* bytes, int count) {
    std::string line;
    line.reserve(2 + 39 + 7 + 19 + 1 + static_cast<std::size_t>(count) * 3);
    if (leadingZero) line += '0';
    line += direction == recSent ? '>' : ' ';
    line += CBaseLog::ToStr(address, port);
    CBaseLog::AppendLogStamp(line);
    line += direction == recReceived ? '<' : ' ';
    line += CBaseLog::StrMes(bytes, count);
    return line;
}

std::mutex showMutex;
std::shared_ptr<const BadLog::ShowHandler> showHandler;

void Show(const wchar_t* text) {
    std::shared_ptr<const BadLog::ShowHandler> handler;
    {
        std::lock_guard<std::mutex> lock(showMutex);
        handler = showHandler;
    }
    if (handler) (*handler)(DBString(text));
}

}  // namespace

// This user's own directory under /tmp: a fixed name there is anybody's to take first or to
// point a link at, so it is used only when it is a real directory owned by this user and closed
// to everyone else; failing that, a fresh directory is made. Both are 0700.
std::string PrivateTempDir(const std::string& under) {
    const std::string own = under + "/tolvane-" + std::to_string(::getuid());
    ::mkdir(own.c_str(), 0700);
    struct stat st {};
    if (::lstat(own.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == ::getuid() &&
        (st.st_mode & 077) == 0)
        return own;
    std::string fresh = under + "/tolvane-XXXXXX";
    if (::mkdtemp(fresh.data()) != nullptr) return fresh;
    // Nowhere safe: the logs then fail to open and say so, rather than land somewhere shared.
    return "/nonexistent";
}

std::string LogHome() {
    const char* home = std::getenv("HOME");
    if (UsableHome(home)) return home;

    long size = ::sysconf(_SC_GETPW_R_SIZE_MAX);
    std::vector<char> buffer(size > 0 ? static_cast<std::size_t>(size) : 16384);
    passwd entry{};
    passwd* found = nullptr;
    if (::getpwuid_r(::getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found != nullptr &&
        UsableHome(found->pw_dir))
        return found->pw_dir;

    // The same for all three logs, and made once: a second fresh directory would split them.
    static const std::string fallback = PrivateTempDir("/tmp");
    return fallback;
}

// ---------------------------------------------------------------------------

ProLog::ProLog() : CBaseLog(queueLimit, 0) {}

ProLog::~ProLog() {
    // Here, not in the base: the writer calls back into this object.
    Close();
}

DBString ProLog::Dir() {
    return ToolDir("pro");
}

void ProLog::Put(typRec direction, const in6_addr& address, int port, const unsigned char* bytes, int count) {
    if (bytes == nullptr || count <= 0) return;
    PutDirect(PacketLine(true, direction, address, port, bytes, count));
}

// ---------------------------------------------------------------------------

DispLog::DispLog() : CBaseLog(queueLimit, 0) {}

DispLog::~DispLog() {
    Close();
}

DBString DispLog::Dir() {
    return ToolDir("disp");
}

void DispLog::Put(typRec direction, const in6_addr& address, int port, const unsigned char* bytes,
                  int count) {
    if (bytes == nullptr || count <= 0) return;
    PutDirect(PacketLine(false, direction, address, port, bytes, count));
}

// ---------------------------------------------------------------------------

BadLog::BadLog() : CBaseLog(queueLimit, 5) {}

BadLog::~BadLog() {
    Close();
}

DBString BadLog::Dir() {
    return ToolDir("bad");
}

void BadLog::Put(const wchar_t* text, bool show) {
    if (text == nullptr) text = L"";
    CBaseLog::Put(text);
    if (show) Show(text);
}

void BadLog::Put(const std::wstring& text, bool show) {
    Put(text.c_str(), show);
}

void BadLog::PutErr(const wchar_t* text, int error, bool show) {
    const DBString line = CnvErr(text, error);
    if (!line.empty()) Put(line.c_str(), show);
}

void BadLog::PutMes(const wchar_t* text, const unsigned char* bytes, int count, bool show) {
    Put(CnvMes(text, bytes, count).c_str(), show);
}

void BadLog::SetShowHandler(ShowHandler handler) {
    std::shared_ptr<const ShowHandler> next;
    if (handler) next = std::make_shared<const ShowHandler>(std::move(handler));
    std::lock_guard<std::mutex> lock(showMutex);
    showHandler.swap(next);
    // next, now the old handler, dies after the lock is released.
}
