#pragma once

// The simulated lift unit without any transport: it takes line messages, answers them
// like the unit's NVRAM service and tells a field engineer in one readable line what it
// did with each. lu-sim puts it behind a V7 socket; the console simulator embeds it
// behind its dispatcher link.

#include <array>
#include <chrono>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <random>
#include <set>
#include <string>
#include <vector>

#include "Mes.h"

// Words of the unit's NVRAM; a settings file holds exactly these, 2 bytes each.
constexpr int kSimLuWords = 32;
constexpr int kSimLuFileBytes = 2 * kSimLuWords;

using SimLuWords = std::array<uint16_t, kSimLuWords>;

struct SimLuOptions {
    // The program the unit runs in, for its closing lines.
    std::string program = "lu-sim";

    // ---- What the unit says about itself in its device-parameters report ----
    int devType = 14;  // 14: the V7 model of the V6 family
    int variant = 0;   // controller kind: 0..63 short report, 0..4095 long report
    // Firmware version a.b.c: the report carries a*10+b as one byte and c as a unit.
    int versionMajor = 2;
    int versionMinor = 1;
    int versionPatch = 5;
    bool longReport = true;

    // Device number on the line the unit answers to; -1 answers every number.
    int lineAddress = -1;

    // ---- NVRAM ----
    // Read answers carry the word's default as second value.
    bool withDefaults = true;
    // Units of a word answer without the default: 13 (padded) or 12 (bare).
    int wordForm = 13;
    // Loaded from ".046" files by the option parser; empty: built-in values.
    std::optional<SimLuWords> nvram;
    std::optional<SimLuWords> defaults;
    std::string nvramFile;     // where `nvram` came from (for messages)
    std::string defaultsFile;  // where `defaults` came from
    std::string saveFile;      // NVRAM written here on exit; empty: not saved

    // ---- Faults ----
    bool silent = false;        // never answers any request
    bool paramError = false;    // answers the device-parameters request with an error report
    bool readError = false;     // answers NVRAM reads (and writes) with error reports
    bool ignoreWrites = false;  // answers byte writes but keeps its words (write-protected)
    bool refuse = false;        // refuses every link (for the transport)
    // Percentages 0..100 of datagrams dropped or sent twice, per direction
    // (in: towards the unit, out: from it).
    int dropIn = 0;
    int dropOut = 0;
    int dupIn = 0;
    int dupOut = 0;
    int delayMs = 0;    // answers leave this much later
    unsigned seed = 0;  // of the drop/duplicate draws; 0: a random seed
    // Percentage of the datagrams the unit sends that are held back and go out after a later one.
    int reorder = 0;
    // Every datagram both ways is lost for blackoutMs, from blackoutAtMs after the first
    // datagram that reached the unit; blackoutAtMs -1: no blackout.
    int blackoutAtMs = -1;
    int blackoutMs = 0;
    // The unit restarts once, right after this many byte writes (0: never): it forgets its
    // links and answers nothing for restartSilentMs. The words written so far stay.
    int restartAfterWrites = 0;
    int restartSilentMs = 3000;
};

// Recognises one LU option at argv[i] ("--name value" or "--name=value"). Returns 1 when
// handled (i then stands on the last argument it used, so the caller's ++i moves on),
// 0 when argv[i] is not an LU option (i unchanged), -1 for a bad or missing value
// (`error` set). A ".046" option reads its file here, so a bad file is a bad value.
int ParseSimLuOption(int argc, char** argv, int& i, SimLuOptions& options, std::string& error);

// The help lines of the LU options, one option per line, ending in a newline.
std::string SimLuOptionsHelp();

// Checks what single options cannot: combinations (a short report holds a variant of
// at most 63). False with `error` for a set of options the unit cannot work with.
bool CheckSimLuOptions(const SimLuOptions& options, std::string& error);

// Built-in NVRAM words and defaults for the given firmware version (word 0 holds it).
SimLuWords SimLuBuiltinNvram(const SimLuOptions& options);
SimLuWords SimLuBuiltinDefaults(const SimLuOptions& options);

// A ".046" settings file: exactly 64 bytes, words 0..31 little-endian. Anything else is
// refused with a reason: a simulated unit must not start with words it never had.
bool LoadSimLuFile(const std::string& path, SimLuWords& words, std::string& error);
// Written to a neighbour file first and renamed over `path`, so an interrupted save
// never leaves half a file behind.
bool SaveSimLuFile(const std::string& path, const SimLuWords& words, std::string& error);

class SimLu {
public:
    using Clock = std::chrono::steady_clock;

    explicit SimLu(SimLuOptions options);

    // Answers to send back for one received message, in order; empty: none.
    std::vector<CMes> Handle(const CMes& request);

    // Receives every readable line, already time-stamped ("12:00:01.123 read word 5 ...").
    // Without a printer the lines go nowhere. May be called from Handle's thread.
    void SetPrinter(std::function<void(const std::string&)> printer);
    // Prints one line through the printer (for the transport's own events).
    void Print(const std::string& text);

    // "lu-sim: first request to answer of word 32: 1.234 ms", named after the program of the
    // options, or a line saying why there is no such time yet. Measured when the unit produces
    // the answer, before any delay the transport adds.
    std::string TimingReport() const;
    // The time itself, when every one of the 32 words has been answered to a read.
    std::optional<std::chrono::nanoseconds> TimeToAllWords() const;

    // Writes the NVRAM to options.saveFile; false with `error` when that fails or no file
    // was named.
    bool SaveNvram(std::string& error);

    const SimLuOptions& Options() const { return options_; }
    SimLuWords Nvram() const;
    SimLuWords Defaults() const;
    // Word of the NVRAM read next.
    int NextReadWord() const;
    // Restarting after --restart-after-writes: nothing reaches the unit.
    bool IsDown() const;
    // True once after the unit restarted on its own: the transport forgets every link.
    bool TakeLinkReset();
    int RestartCount() const;
    int RequestCount() const;

    // For tests: where Handle takes its time from.
    void SetClock(std::function<Clock::time_point()> clock);

private:
    std::vector<CMes> HandleLocked(const CMes& request, std::vector<std::string>& lines);
    CMes Answer(const CMes& request, const unsigned char* units, int n) const;
    CMes ErrorReport(const CMes& request) const;
    CMes DeviceParameters(const CMes& request) const;
    CMes WordAnswer(const CMes& request, int word) const;
    std::string Describe(const CMes& request) const;
    void NoteWordAnswered(int word);
    bool IsDownLocked() const;

    SimLuOptions options_;
    mutable std::mutex mutex_;
    SimLuWords nvram_{};
    SimLuWords defaults_{};
    int nextRead_ = 0;
    int restarts_ = 0;
    int requests_ = 0;
    int byteWrites_ = 0;
    std::optional<Clock::time_point> downUntil_;
    bool linkReset_ = false;
    std::set<int> wordsAnswered_;
    std::optional<Clock::time_point> firstRequest_;
    std::optional<Clock::time_point> allWords_;
    std::function<void(const std::string&)> printer_;
    std::function<Clock::time_point()> clock_;
};

// Which way a datagram travels, seen from the unit.
enum class SimDirection { In, Out };

// Decides the fate of each datagram: dropped, passed once, or passed twice, by the
// percentages of the options; lost in a blackout; held back behind a later one; and how long
// answers wait. Thread-safe; its clock is injectable.
class SimFaults {
public:
    using Clock = std::chrono::steady_clock;
    // One datagram's way out, run by the transport outside any lock of the faults.
    using Send = std::function<void()>;
    // A datagram held back goes alone after this long: late, not lost, when nothing follows it.
    static constexpr std::chrono::milliseconds kMaxHold{500};

    SimFaults() : SimFaults(SimLuOptions{}) {}
    explicit SimFaults(const SimLuOptions& options);

    // 0: drop it; 1: pass it; 2: pass it twice. The first datagram in starts the blackout's clock.
    int Copies(SimDirection direction);
    // The sends due now for one datagram of the unit that passed Copies, in order: none when
    // it is held back, else it and then the one held back before it.
    std::vector<Send> Reorder(Send send);
    // A datagram held back for kMaxHold, or none.
    std::vector<Send> Overdue();
    int DelayMs() const { return delayMs_; }
    bool Active() const;

    int Dropped(SimDirection direction) const;
    int Duplicated(SimDirection direction) const;
    int Reordered() const;
    int BlackedOut() const;
    // "in: 3 dropped, 1 duplicated; out: 0 dropped, 0 duplicated", then the held back and the
    // blacked out when those faults are on.
    std::string Summary() const;

    // For tests: where the blackout and the holding take their time from.
    void SetClock(std::function<Clock::time_point()> clock);

private:
    struct Way {
        int dropPercent = 0;
        int dupPercent = 0;
        int dropped = 0;
        int duplicated = 0;
    };
    Way& At(SimDirection d) { return d == SimDirection::In ? in_ : out_; }
    const Way& At(SimDirection d) const { return d == SimDirection::In ? in_ : out_; }
    bool Hit(int percent);
    bool InBlackout(Clock::time_point now) const;

    mutable std::mutex mutex_;
    std::mt19937 random_;
    Way in_;
    Way out_;
    int delayMs_ = 0;
    int reorderPercent_ = 0;
    int reordered_ = 0;
    std::optional<Send> held_;
    Clock::time_point heldAt_{};
    int blackoutAtMs_ = -1;
    int blackoutMs_ = 0;
    int blackedOut_ = 0;
    std::optional<Clock::time_point> firstIn_;
    std::function<Clock::time_point()> clock_;
};

// "12:00:01.123": local wall-clock time with milliseconds, the prefix of every line.
std::string SimTimeStamp();
