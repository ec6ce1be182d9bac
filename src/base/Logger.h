#pragma once

#include <netinet/in.h>

#include <functional>
#include <string>

#include "BaseLog.h"
#include "DBString.h"

// Direction of a logged packet. The underlying type is fixed so that the packet code,
// which writes its own log lines, can declare the type without this header.
enum typRec : int {
    recReceived = 1,
    recSent = 2,
};

// The home directory the tool's logs go under: HOME/ZARN/logs/Tolvane/<log>.
//
// Without a usable HOME (unset, empty, not an absolute path or not UTF-8) the home
// directory of the user from the password database is taken, and failing that a
// directory of the user's own under /tmp (0700, owned by the user, no link): a log must
// never land relative to whatever the current directory happens to be, nor where another
// user could read it or redirect it.
std::string LogHome();
// The user's own directory under `under` (0700, owned by the user, no link): the fixed name when
// it is safe, else a fresh one.
std::string PrivateTempDir(const std::string& under);

// V7 datagrams as hexadecimal dumps, one line each.
class ProLog : public CBaseLog {
public:
    ProLog();
    ~ProLog() override;

    DBString Dir() override;

    using CBaseLog::Put;
    // Nothing is logged for count 0 or less.
    void Put(typRec direction, const in6_addr& address, int port, const unsigned char* bytes, int count);
};

// Disp packets as hexadecimal dumps, one line each.
class DispLog : public CBaseLog {
public:
    DispLog();
    ~DispLog() override;

    DBString Dir() override;

    using CBaseLog::Put;
    // Nothing is logged for count 0 or less.
    void Put(typRec direction, const in6_addr& address, int port, const unsigned char* bytes, int count);
};

// Errors and notable events. The forms with a show flag bypass the repeat filter
// and, with show true, also hand the text to the show handler, which the
// application installs to put it before the user.
class BadLog : public CBaseLog {
public:
    using ShowHandler = std::function<void(const DBString&)>;

    BadLog();
    ~BadLog() override;

    DBString Dir() override;

    using CBaseLog::Put;
    using CBaseLog::PutErr;
    using CBaseLog::PutMes;
    void Put(const wchar_t* text, bool show);
    void Put(const std::wstring& text, bool show);
    void PutErr(const wchar_t* text, int error, bool show);
    void PutMes(const wchar_t* text, const unsigned char* bytes, int count, bool show);

    // Installs the handler for every error log of the process; an empty function
    // removes it. Safe from any thread. The handler runs on the thread that wrote
    // the line, outside every lock of the log, so it may block (for instance until
    // the GUI thread has shown a box); a call already under way when the handler
    // is replaced still completes with the old one.
    static void SetShowHandler(ShowHandler handler);
};
