#include "SettingsFile.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>

namespace {

bool Fail(SettingsFileError& error, const char* step, int code) {
    error.kind = SettingsFileError::typKind::System;
    error.step = step;
    error.error = code;
    return false;
}

class Descriptor {
public:
    explicit Descriptor(int fd) : m_Fd(fd) {}
    ~Descriptor() {
        if (m_Fd >= 0) ::close(m_Fd);
    }
    Descriptor(const Descriptor&) = delete;
    Descriptor& operator=(const Descriptor&) = delete;
    int Get() const { return m_Fd; }
    // Closes now, reporting the result (a failed close can mean lost data on some file systems).
    int Close() {
        const int fd = m_Fd;
        m_Fd = -1;
        return fd >= 0 ? ::close(fd) : 0;
    }

private:
    int m_Fd;
};

// The new image until it is renamed over the target; removed on every way out before that.
struct TempFile {
    std::string path;
    bool created = false;
    ~TempFile() {
        if (created) ::unlink(path.c_str());
    }
};

bool WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

std::string DirectoryOf(const std::string& path) {
    const auto slash = path.find_last_of('/');
    if (slash == std::string::npos) return ".";
    return slash == 0 ? "/" : path.substr(0, slash);
}

// The file a save replaces: the end of a chain of symbolic links, even one that does not
// exist yet, so that saving through a link updates what it points at instead of replacing it.
std::string SaveTarget(const std::string& path) {
    std::string target = path;
    for (int hops = 0; hops < 40; ++hops) {
        struct stat st {};
        if (::lstat(target.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) return target;
        char link[PATH_MAX];
        const ssize_t n = ::readlink(target.c_str(), link, sizeof link - 1);
        if (n < 0) return target;
        link[n] = '\0';
        target = link[0] == '/' ? std::string(link) : DirectoryOf(target) + "/" + link;
    }
    return target;  // a loop: the rename below fails on it with the system's reason
}

}  // namespace

bool LoadSettingsFile(const std::string& path, WordMap& words, SettingsFileError& error) {
    error = {};
    // O_NONBLOCK: opening a FIFO must not wait for a writer; the type check below refuses it.
    Descriptor fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK | O_NOCTTY));
    if (fd.Get() < 0) return Fail(error, "open()", errno);
    struct stat st {};
    if (::fstat(fd.Get(), &st) != 0) return Fail(error, "fstat()", errno);
    if (!S_ISREG(st.st_mode)) {
        error.kind = SettingsFileError::typKind::NotRegular;
        return false;
    }
    if (st.st_size != kLuWordBytes) {
        error.kind = SettingsFileError::typKind::WrongLength;
        error.length = static_cast<long long>(st.st_size);
        return false;
    }
    // One byte more than a settings file holds: a file that grew since fstat is caught too.
    unsigned char image[kLuWordBytes + 1];
    size_t got = 0;
    while (got < sizeof image) {
        const ssize_t n = ::read(fd.Get(), image + got, sizeof image - got);
        if (n < 0) {
            if (errno == EINTR) continue;
            return Fail(error, "read()", errno);
        }
        if (n == 0) break;
        got += static_cast<size_t>(n);
    }
    if (got != static_cast<size_t>(kLuWordBytes)) {
        error.kind = SettingsFileError::typKind::WrongLength;
        error.length = static_cast<long long>(got);
        return false;
    }
    WordMap loaded;
    for (int k = 0; k < kLuWords; ++k)
        loaded[k] = static_cast<uint16_t>(image[2 * k] | (image[2 * k + 1] << 8));
    words = std::move(loaded);
    return true;
}

bool SaveSettingsFile(const std::string& path, const WordMap& words, SettingsFileError& error) {
    error = {};
    // Word k always sits at offset 2k: a missing word is written as 0 rather than shifting
    // the words behind it.
    unsigned char image[kLuWordBytes];
    for (int k = 0; k < kLuWords; ++k) {
        image[2 * k] = GetLowByte(words, k);
        image[2 * k + 1] = GetHighByte(words, k);
    }

    const std::string target = SaveTarget(path);
    mode_t mode = 0666;
    bool keepMode = false;
    struct stat st {};
    if (::stat(target.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        mode = st.st_mode & 07777;
        keepMode = true;
    }
    TempFile temp{target + "." + std::to_string(::getpid()) + ".tmp"};
    ::unlink(temp.path.c_str());
    Descriptor fd(::open(temp.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, mode));
    if (fd.Get() < 0) return Fail(error, "open()", errno);
    temp.created = true;

    // The creation mode passes through the umask; the replaced file's own mode is what counts.
    if (keepMode && ::fchmod(fd.Get(), mode) != 0) return Fail(error, "fchmod()", errno);
    if (!WriteAll(fd.Get(), image, sizeof image)) return Fail(error, "write()", errno);
    if (::fsync(fd.Get()) != 0) return Fail(error, "fsync()", errno);
    if (fd.Close() != 0) return Fail(error, "close()", errno);
    if (::rename(temp.path.c_str(), target.c_str()) != 0) return Fail(error, "rename()", errno);
    temp.created = false;
    // The rename itself is on disk only once the directory is.
    Descriptor dir(::open(DirectoryOf(target).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (dir.Get() >= 0) ::fsync(dir.Get());
    return true;
}
