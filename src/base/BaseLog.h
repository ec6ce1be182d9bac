#pragma once

#include <netinet/in.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <fstream>
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <thread>

#include "DBString.h"
#include "StringQueue.h"

// A numbered series of log files (prefix + 7-digit number + "." + extension) in the
// directory a subclass names. Callers on any thread only queue finished lines; a
// writer thread of the log's own appends them, moves to the next number once a file
// passes about a megabyte and deletes files that fall more than 100 numbers behind.
//
// Subclasses that override Dir(), NameFile() or Error() must call Close() in their
// own destructor: the writer calls those while it runs.
class CBaseLog : public std::ofstream {
public:
    // Suppresses a line that was already written less than an interval ago, so a
    // failure that repeats every few milliseconds costs one line, not thousands.
    class DelayMsg {
    public:
        using Clock = std::function<std::int64_t()>;  // seconds since the epoch

        explicit DelayMsg(int minutes);

        bool IsNeedToPut(const std::string& line);

        // Lets tests move time forward without waiting; restarts the clean-up cycle
        // on the new clock.
        void SetClock(Clock clock);

        // Lines remembered at present (their suppression not yet expired or not yet
        // cleaned up).
        std::size_t Size() const;

    private:
        mutable std::mutex mtx;
        std::map<std::string, std::int64_t> lines;  // line -> time it may be written again
        const int minutes;
        Clock now;
        std::int64_t nextClean;
    };

    CBaseLog(std::size_t limit, int minutes);
    virtual ~CBaseLog();

    CBaseLog(const CBaseLog&) = delete;
    CBaseLog& operator=(const CBaseLog&) = delete;

    bool Open(const char* prefix, const char* extension);
    // Writes every line queued before the call, then stops the writer and closes
    // the file. Lines queued afterwards wait for the next Open.
    void Close();
    // The first half of Close without the wait: the writer writes what is queued and ends
    // meanwhile, so that several logs closed together wait for their disks at once.
    void BeginClose();
    bool IsRunning() const { return running.load(std::memory_order_acquire); }

    virtual int NumFile(const char* name);
    virtual DBString NameFile(int number);
    virtual DBString Dir() = 0;
    virtual void Error(const std::string& line);

    int LastNum();
    bool OpenNew(int number);
    // Deletes the numbered files outside above+1 .. upTo.
    void ClearOutside(int above, int upTo);

    // The highest file number: the seven digits of the file names.
    static constexpr int kMaxFileNumber = 9999999;

    // Writing: each only builds one line and queues it.
    void Put(const wchar_t* text);
    void Put(const std::wstring& text);
    void PutFormat(const wchar_t* format, ...);
    void PutUtf8(const char* text);
    void PutUtf8(const std::string& text);
    void PutDirect(const DBString& text);
    void PutDirect(const std::string& text);
    void PutDirect(std::string&& text);
    void PutErr(const wchar_t* text, int error);
    void PutMes(const wchar_t* text, const unsigned char* bytes, int count);

    // Lines waiting for the writer.
    std::size_t QueueSize() const { return queue.Size(); }

    static DBString CnvErr(const wchar_t* text, int error);
    static DBString CnvMes(const wchar_t* text, const unsigned char* bytes, int count);
    static std::string StrMes(const unsigned char* bytes, int count);
    static std::string ToStr(const in6_addr& address, int port);

    // Once a file is larger than this, the next line starts a new file.
    static constexpr std::streamoff fileLimit = 999999;

    // Now in local time as "dd.mm.yyyy hh:mm:ss " and as "dd.mm.yyyy hh:mm.ss",
    // appended to out. Cached per thread for the current second, because every
    // line needs one.
    static void AppendStamp(std::string& out);
    static void AppendLogStamp(std::string& out);
    // UTF-32 to UTF-8, appended to out. A character that has no UTF-8 form turns
    // the whole text into "?utf-8?", as DBString::ToStr does.
    static void AppendUtf8(std::string& out, const wchar_t* text, std::size_t length);

protected:
    DelayMsg delay;

private:
    void PutProc();
    // last: the batch ends with this line, and the file is flushed.
    void PutInner(const std::string& line, bool last);
    void Report(const wchar_t* mark, int error);
    void SetOpenFile(bool state) { fileOpen.store(state, std::memory_order_release); }
    // Dir() as UTF-8, fixed once Open has run so the writer never needs the
    // subclass for it.
    std::string LogDir();

    StringQueue queue;
    int curNum = 1;
    // The size of the open file: asking the stream would cost a seek for every line.
    std::streamoff curSize = 0;
    std::atomic<bool> running{false};
    std::atomic<bool> fileOpen{false};
    std::thread writer;
    DBString prefix;
    std::string prefixUtf8;
    DBString extension;
    std::string dir;
    const int keptFiles = 100;
};
