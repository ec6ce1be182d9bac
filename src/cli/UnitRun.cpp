#include "UnitRun.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>

#include "CliTexts.h"
#include "Dev.h"
#include "LoadRes.h"
#include "Xml.h"

namespace {

using namespace std::chrono_literals;

// Ticks without a new word after which a load has lost its unit.
constexpr int kStallTicks = 5;
// A restart is one numbered packet: its sends are 2 s apart, so two of them and some slack.
constexpr auto kFlushBound = 5s;
// How often a flush looks whether everything queued has been acknowledged.
constexpr auto kFlushPoll = 5ms;
// The longest sleep of the fleet: a stop asked by a signal is seen this soon.
constexpr auto kWakeAtLeast = 100ms;

int ExitOfState(typUnitState state) {
    switch (state) {
        case typUnitState::Silent:
            return kExitNotResponding;
        case typUnitState::Refused:
            return kExitRefused;
        default:
            return kExitLinkLost;
    }
}

}  // namespace

// ---- CUnitRun ----------------------------------------------------------------------------

CUnitRun::CUnitRun(std::string name, std::vector<std::string> link, UnitJob job)
    : m_Name(std::move(name)), m_Link(std::move(link)), m_Job(std::move(job)) {}

CUnitRun::~CUnitRun() {
    Finish();
}

int CUnitRun::WordsIn() const {
    if (!m_Ctx) return 0;
    return IsVerifying() ? m_Ctx->session.ReadBackCount() : static_cast<int>(m_Ctx->session.Read().size());
}

bool CUnitRun::IsVerifying() const {
    return m_Ctx && m_Ctx->session.State() == typUnitState::Verifying;
}

void CUnitRun::Start(CFleet& fleet, size_t index, ToolLogs& logs, const UnitSessionTiming& timing,
                     const LinkTiming& links) {
    m_Fleet = &fleet;
    m_Index = index;
    m_Ctx = std::make_unique<ToolContext>(logs);
    ToolContext& c = *m_Ctx;
    for (const std::string& option : m_Link) c.ReadOption(option);
    try {
        c.CheckSettings();
    } catch (const ErrorXML& e) {
        c.badLog.PutErr(e.Text().c_str(), e.Number(), false);
        End(kExitUsage, e.Text().ToStr());
        return;
    }
    // The shared logs are opened on the fleet's thread only, and only the ones in use.
    if (c.pult.IsDirect())
        logs.pro.Open("C", "log");
    else
        logs.disp.Open("C", "log");
    c.events.Install([&fleet, index](typAppEvent event) {
        switch (event) {
            case typAppEvent::PackV5Received:
            case typAppEvent::PackV7Received:
                fleet.Post(index, CFleet::kEvPackets);
                break;
            case typAppEvent::NoLink:
                fleet.Post(index, CFleet::kEvNoLink);
                break;
            case typAppEvent::CloseTopWindow:
                fleet.Post(index, CFleet::kEvClosed);
                break;
        }
    });
    c.SetLinkTiming(links);
    c.receiveOnCaller = true;
    m_Started = Clock::now();
    if (!c.pult.Connect()) {
        End(kExitFailed, TextF(kTextLinkNotStarted, Wide(c.badLog.Dir().ToStr()).c_str()));
        return;
    }
    c.session.SetTiming(timing);
    c.session.SetListener([this](const UnitEvent& e) { OnSessionEvent(e); });
    m_Tick = timing.tick;
    m_LastProgress = Clock::now();
    m_WindowTick = std::chrono::milliseconds(links.windowTickMs);
    m_NextWindowTick = m_LastProgress + m_WindowTick;
    m_Phase = typPhase::Loading;
    c.session.Start(c.SessionAddress());
}

int CUnitRun::Socket() const {
    if (!IsRunning() || !m_Ctx->pult.IsDirect()) return -1;
    return m_Ctx->receivV7.Socket();
}

void CUnitRun::Receive() {
    if (IsRunning() && m_Ctx->receivV7.ReceiveWaiting(1) < 0) m_Fleet->Post(m_Index, CFleet::kEvNoLink);
}

void CUnitRun::SendDueReplies() {
    if (!m_Ctx) return;
    m_Ctx->receivV7.SendDueReplies();
    // Acknowledgements may have made room in the window.
    m_Ctx->sendV7.Pump();
}

void CUnitRun::OnLinkEvents(unsigned events) {
    if (!IsRunning()) return;
    CUnitSession& s = m_Ctx->session;
    if (events & CFleet::kEvPackets) {
        try {
            s.Poll(m_Ctx->inpV7, m_Ctx->inpMes);
        } catch (const ErrorXML& e) {
            m_Ctx->badLog.PutErr(e.Text().c_str(), e.Number(), false);
            End(kExitFailed, e.Text().ToStr());
            return;
        }
    }
    if (events & CFleet::kEvNoLink) s.LinkLost();
    if (events & CFleet::kEvClosed) s.LinkClosed();
    if (m_Phase == typPhase::Asking && (events & (CFleet::kEvYes | CFleet::kEvNo)))
        Confirm(events & CFleet::kEvYes);
}

void CUnitRun::Confirm(bool yes) {
    if (m_Phase != typPhase::Asking) return;
    if (yes) {
        BeginWrite();
        return;
    }
    End(kExitNotConfirmed, Text(kTextNotWritten));
}

void CUnitRun::OnSessionEvent(const UnitEvent& event) {
    if (event.kind == UnitEvent::typKind::Word || event.kind == UnitEvent::typKind::Params)
        m_LastProgress = Clock::now();
    if (event.kind == UnitEvent::typKind::Written) m_Written = event;
}

void CUnitRun::Step(Clock::time_point now) {
    if (!IsRunning()) return;
    CUnitSession& s = m_Ctx->session;
    if (m_Ctx->pult.IsDirect() && now >= m_NextWindowTick) {
        m_Ctx->sendV7.Window().Tick();
        m_Ctx->sendV7.Pump();
        m_NextWindowTick = now + m_WindowTick;
    }
    if (!s.HasEnded() && now >= s.NextDeadline()) s.Tick();
    if (s.HasEnded()) {
        EndBySession();
        return;
    }
    switch (m_Phase) {
        case typPhase::Loading:
            if (s.IsReady()) {
                OnLoaded();
            } else if (s.ParamsReceived() && now - m_LastProgress >= kStallTicks * m_Tick) {
                End(kExitNotResponding, TextF(kTextLoadStalled, static_cast<int>(s.Read().size())));
            }
            return;
        case typPhase::Writing:
            if (m_Written) {
                const UnitEvent written = std::move(*m_Written);
                m_Written.reset();
                AfterWrite(written);
            }
            return;
        case typPhase::Flushing:
            if (LinkIdle() || now >= m_FlushUntil) End(m_Result.exit, m_Result.reason);
            return;
        default:
            return;
    }
}

CUnitRun::Clock::time_point CUnitRun::Deadline() const {
    if (!IsRunning()) return Clock::time_point::max();
    if (m_Phase == typPhase::Flushing) return Clock::now() + kFlushPoll;
    auto due = m_Ctx->session.NextDeadline();
    if (m_Ctx->pult.IsDirect()) due = std::min(due, m_NextWindowTick);
    if (m_Phase == typPhase::Loading && m_Ctx->session.ParamsReceived())
        due = std::min(due, m_LastProgress + kStallTicks * m_Tick);
    return due;
}

void CUnitRun::OnLoaded() {
    const ToolContext& c = *m_Ctx;
    m_Result.loadTime = Clock::now() - m_Started;
    m_Result.read = c.session.Read();
    m_Result.defaults = c.session.Defaults();
    m_Result.defaultsComplete = c.session.DefaultsComplete();
    if (const CDev* dev = c.pult.GetDev()) {
        m_Result.devType = dev->Typ();
        m_Result.typeName = dev->TypLB().ToStr();
    }
    switch (m_Job.work) {
        case UnitJob::typWork::Read:
            End(kExitDone, {});
            return;
        case UnitJob::typWork::Restart:
            BeginRestart();
            return;
        case UnitJob::typWork::Write:
            break;
    }
    if (LuWriteBytes(m_Result.read, m_Job.image).empty()) {
        m_Result.bytesWritten = 0;
        if (m_Job.restartAfter)
            BeginRestart();
        else
            End(kExitDone, {});
        return;
    }
    switch (m_Gate ? m_Gate(*this) : typGate::Go) {
        case typGate::Go:
            BeginWrite();
            return;
        case typGate::Stop:
            End(kExitDone, {});
            return;
        case typGate::Ask:
            m_Phase = typPhase::Asking;
            m_Fleet->AskTerminal(m_Index);
            return;
    }
}

void CUnitRun::BeginWrite() {
    CUnitSession& s = m_Ctx->session;
    const int sent = s.Write(m_Job.image);
    m_Result.bytesWritten = static_cast<int>(LuWriteBytes(m_Result.read, m_Job.image).size());
    // A request the link refused still leaves the session reading back what the unit holds.
    if (sent > 0 || s.IsBusy()) {
        m_Phase = typPhase::Writing;
        return;
    }
    End(kExitFailed, Text(kTextNotWritten));
}

void CUnitRun::AfterWrite(const UnitEvent& event) {
    m_Result.written = event.result;
    m_Result.mismatches = event.mismatches;
    m_Result.read = m_Ctx->session.Read();
    switch (event.result) {
        case typWriteResult::Verified:
            if (m_Job.restartAfter)
                BeginRestart();
            else
                End(kExitDone, {});
            return;
        case typWriteResult::Mismatch: {
            std::string text = Text(kTextMismatch);
            for (const WordMismatch& m : event.mismatches)
                text += "\n" + TextF(kTextMismatchWord, m.word, static_cast<unsigned>(m.wanted),
                                     static_cast<unsigned>(m.read));
            End(kExitVerifyFailed, text);
            return;
        }
        case typWriteResult::Unverified:
            End(kExitVerifyFailed, TextF(kTextUnverified, static_cast<int>(event.readBack.size())));
            return;
    }
}

void CUnitRun::BeginRestart() {
    if (!m_Ctx->session.Restart()) {
        End(kExitLinkLost, Text(kTextLinkLost));
        return;
    }
    m_Result.restarted = true;
    // The restart is the last request: the link is closed only once the unit has it.
    m_Phase = typPhase::Flushing;
    m_FlushUntil = Clock::now() + kFlushBound;
}

bool CUnitRun::LinkIdle() const {
    ToolContext& c = *m_Ctx;
    if (c.pult.IsDirect()) return c.sendV7.QueueSize() == 0 && c.sendV7.Window().Count() == 0;
    return c.sendDisp.QueueSize() == 0 && c.sendDisp.Window().Count() == 0;
}

void CUnitRun::EndBySession() {
    const CUnitSession& s = m_Ctx->session;
    std::string reason = Text(s.Reason());
    // A write cut off by the link: what was read back is all that is known.
    if (m_Written && m_Written->result == typWriteResult::Unverified) {
        m_Result.written = typWriteResult::Unverified;
        m_Result.read = s.Read();
        reason += "\n" + TextF(kTextUnverified, static_cast<int>(m_Written->readBack.size()));
    }
    End(ExitOfState(s.State()), reason);
}

void CUnitRun::End(int exit, std::string reason) {
    m_Result.exit = exit;
    m_Result.reason = std::move(reason);
    m_Phase = typPhase::Done;
}

void CUnitRun::Finish() {
    if (!m_Ctx) return;
    // The close-link goes to the unit here; the sink is removed first, so nothing posts for a
    // unit whose links are gone.
    m_Ctx->events.Remove();
    m_Ctx->session.SetListener({});
    m_Ctx->pult.Disconnect();
    m_Ctx.reset();
}

// ---- CFleet ------------------------------------------------------------------------------

CFleet::CFleet(ToolLogs& logs, int parallel, UnitSessionTiming timing, LinkTiming links)
    : m_Logs(logs), m_Parallel(std::max(parallel, 1)), m_Timing(timing), m_Links(links) {
    m_WakeFd = ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC);
}

CFleet::~CFleet() {
    m_PromptCancel = true;
    if (m_Prompt.joinable()) m_Prompt.join();
    if (m_WakeFd >= 0) ::close(m_WakeFd);
}

void CFleet::Post(size_t unit, unsigned events) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        if (unit >= m_Pending.size()) return;
        m_Pending[unit] |= events;
        // The fleet's own thread looks at the posts before it waits again.
        if (std::this_thread::get_id() == m_Thread) return;
    }
    const std::uint64_t one = 1;
    // A full counter already wakes the poll.
    [[maybe_unused]] const ssize_t n = ::write(m_WakeFd, &one, sizeof one);
}

void CFleet::Wait(std::chrono::steady_clock::time_point due, std::vector<size_t>& received) {
    received.clear();
    // Kept between waits: one wait per exchange must not cost allocations.
    std::vector<pollfd>& fds = m_PollFds;
    std::vector<size_t>& owners = m_PollOwners;
    fds.assign(1, pollfd{m_WakeFd, POLLIN, 0});
    owners.clear();
    for (size_t i = 0; i < m_Units.size(); ++i) {
        const int fd = m_Units[i]->Socket();
        if (fd < 0) continue;
        fds.push_back({fd, POLLIN, 0});
        owners.push_back(i);
    }
    // Posts of this thread are already waiting: no sleep then.
    bool posted = false;
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        posted = std::any_of(m_Pending.begin(), m_Pending.end(), [](unsigned e) { return e != 0; });
    }
    const auto left = posted ? std::chrono::steady_clock::duration::zero()
                             : std::max(due - std::chrono::steady_clock::now(),
                                        std::chrono::steady_clock::duration::zero());
    const auto secs = std::chrono::duration_cast<std::chrono::seconds>(left);
    const timespec wait{
        static_cast<time_t>(secs.count()),
        static_cast<long>(std::chrono::duration_cast<std::chrono::nanoseconds>(left - secs).count())};
    if (::ppoll(fds.data(), fds.size(), &wait, nullptr) <= 0) return;
    if (fds[0].revents != 0) {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t n = ::read(m_WakeFd, &count, sizeof count);
    }
    for (size_t k = 1; k < fds.size(); ++k) {
        if (fds[k].revents == 0) continue;
        m_Units[owners[k - 1]]->Receive();
        received.push_back(owners[k - 1]);
    }
}

void CFleet::AskTerminal(size_t unit) {
    if (m_Prompt.joinable()) m_Prompt.join();
    m_PromptCancel = false;
    m_Prompt = std::thread([this, unit] { Post(unit, ReadYes(m_PromptCancel) ? kEvYes : kEvNo); });
}

void CFleet::Run(const std::atomic<bool>& stop) {
    {
        std::lock_guard<std::mutex> lock(m_Lock);
        m_Pending.assign(m_Units.size(), 0);
        m_Thread = std::this_thread::get_id();
    }
    size_t next = 0;
    size_t running = 0;
    std::vector<unsigned> events;
    std::vector<size_t> received;
    // Whether anything happened since progress was last told.
    bool moved = true;
    while (m_Finished < m_Units.size()) {
        while (!stop && running < static_cast<size_t>(m_Parallel) && next < m_Units.size()) {
            m_Units[next]->Start(*this, next, m_Logs, m_Timing, m_Links);
            ++next;
            ++running;
            moved = true;
        }
        if (stop) {
            for (size_t i = 0; i < next; ++i)
                if (m_Units[i]->IsRunning()) m_Units[i]->End(kExitInterrupted, Text(kTextInterrupted));
            for (size_t i = next; i < m_Units.size(); ++i)
                m_Units[i]->End(kExitInterrupted, Text(kTextInterrupted));
        }

        const auto now = CUnitRun::Clock::now();
        for (size_t i = 0; i < next; ++i) {
            CUnitRun& u = *m_Units[i];
            u.Step(now);
            if (u.IsDone() && u.m_Ctx) {
                u.Finish();
                --running;
                moved = true;
            }
        }
        m_Finished = 0;
        for (const auto& u : m_Units) m_Finished += u->IsDone() ? 1 : 0;
        if (moved && onProgress) onProgress(*this);
        moved = false;
        if (m_Finished == m_Units.size()) break;

        auto due = now + kWakeAtLeast;
        for (size_t i = 0; i < next; ++i) due = std::min(due, m_Units[i]->Deadline());
        Wait(due, received);
        {
            std::lock_guard<std::mutex> lock(m_Lock);
            events.assign(m_Pending.size(), 0);
            events.swap(m_Pending);
        }
        for (size_t i = 0; i < events.size(); ++i) {
            if (events[i] == 0) continue;
            m_Units[i]->OnLinkEvents(events[i]);
            moved = true;
        }
        for (const size_t i : received) m_Units[i]->SendDueReplies();
    }
    m_PromptCancel = true;
    if (m_Prompt.joinable()) m_Prompt.join();
}

bool ReadYes(const std::atomic<bool>& cancel) {
    std::string line;
    while (!cancel) {
        pollfd p{STDIN_FILENO, POLLIN, 0};
        const int ready = ::poll(&p, 1, 100);
        if (ready < 0 && errno != EINTR) return false;
        if (ready <= 0) continue;
        char c = 0;
        const ssize_t n = ::read(STDIN_FILENO, &c, 1);
        if (n <= 0 || c == '\n') break;
        line += c;
    }
    if (cancel) return false;
    const size_t first = line.find_first_not_of(" \t");
    if (first == std::string::npos) return false;
    // "y" and "yes", and in Russian "д" and "да" (two bytes in UTF-8).
    return line[first] == 'y' || line[first] == 'Y' || line.compare(first, 2, "\xD0\xB4") == 0 ||
           line.compare(first, 2, "\xD0\x94") == 0;
}
