#include "UnitSession.h"

#include <algorithm>

namespace {

// A refusal names the refused party and the refusing unit behind the byte that marks it.
constexpr int kRefusalMarkByte = 13;
constexpr int kRefusalLongLength = 22;
constexpr int kRefusedIdentAt = 14;
constexpr int kRefuserIdentAt = 18;
// A byte the unit still does not hold after this many writes again is left to the bound: a unit
// that keeps its words must end as a mismatch.
constexpr int kMaxResends = 5;

}  // namespace

const char* UnitStateName(typUnitState state) {
    switch (state) {
        case typUnitState::Idle:
            return "idle";
        case typUnitState::Loading:
            return "loading";
        case typUnitState::Ready:
            return "ready";
        case typUnitState::Writing:
            return "writing";
        case typUnitState::Verifying:
            return "verifying";
        case typUnitState::Silent:
            return "not responding";
        case typUnitState::Refused:
            return "refused";
        case typUnitState::Lost:
            return "link lost";
        case typUnitState::Closed:
            return "closed by the unit";
    }
    return "?";
}

UnitSessionTiming UnitSessionTiming::Scaled(double factor) const {
    auto scaled = [factor](std::chrono::milliseconds ms) {
        return std::max(
            std::chrono::milliseconds(1),
            std::chrono::milliseconds(static_cast<long long>(static_cast<double>(ms.count()) * factor)));
    };
    UnitSessionTiming t = *this;
    t.tick = scaled(tick);
    t.verifyBound = scaled(verifyBound);
    t.probeAfter = scaled(probeAfter);
    t.lostAfter = scaled(lostAfter);
    return t;
}

CUnitSession::CUnitSession(Link& link, WordMap& read, WordMap& defaults)
    : m_Link(link), m_Read(read), m_Defaults(defaults) {}

bool CUnitSession::HasEnded() const {
    return m_State == typUnitState::Silent || m_State == typUnitState::Refused ||
           m_State == typUnitState::Lost || m_State == typUnitState::Closed;
}

void CUnitSession::Start(const UnitAddress& address) {
    m_Address = address;
    m_Read.clear();
    m_Defaults.clear();
    m_ParamsReceived = false;
    m_Retries = 0;
    m_Wanted.clear();
    m_ReadBack.clear();
    m_PacedRead = false;
    const auto now = Now();
    m_NextTick = now + m_Timing.tick;
    m_LastHeard = now;
    m_LastProbe = now;
    SetState(typUnitState::Loading, 0);
    SendParams();
}

void CUnitSession::Reset() {
    m_State = typUnitState::Idle;
    m_Reason = 0;
    m_ParamsReceived = false;
    m_Retries = 0;
    m_Wanted.clear();
    m_ReadBack.clear();
    m_PacedRead = false;
}

CUnitSession::Clock::time_point CUnitSession::NextDeadline() const {
    switch (m_State) {
        case typUnitState::Loading:
            return m_NextTick;
        case typUnitState::Writing:
        case typUnitState::Verifying: {
            const auto due = std::min(m_NextTick, m_LastProgress + m_Timing.verifyBound);
            return m_PacedRead ? std::min(due, m_NextPacedRead) : due;
        }
        case typUnitState::Ready:
            return std::min(std::max(m_LastHeard, m_LastProbe) + m_Timing.probeAfter,
                            m_LastHeard + m_Timing.lostAfter);
        default:
            return Clock::time_point::max();
    }
}

void CUnitSession::Tick() {
    const auto now = Now();
    switch (m_State) {
        case typUnitState::Loading:
            if (now < m_NextTick) return;
            m_NextTick = now + m_Timing.tick;
            if (m_ParamsReceived) {
                // No limit once the parameters are in: the reads go on until every word is there.
                SendRead();
            } else if (m_Retries >= m_Timing.paramRetries) {
                Fail(typUnitState::Silent, kTextNotResponding);
            } else {
                ++m_Retries;
                SendParams();
            }
            return;
        case typUnitState::Writing:
        case typUnitState::Verifying:
            if (now - m_LastProgress >= m_Timing.verifyBound) {
                // Every word read back but some still differ: the unit holds other values. Words
                // missing: nobody can say what the unit holds.
                FinishWrite(m_ReadBack.size() == static_cast<size_t>(kLuWords) ? typWriteResult::Mismatch
                                                                               : typWriteResult::Unverified);
                return;
            }
            if (m_PacedRead && now >= m_NextPacedRead) {
                m_PacedRead = false;
                m_NextTick = now + m_Timing.tick;
                SendRead();
            } else if (now >= m_NextTick) {
                m_NextTick = now + m_Timing.tick;
                SendRead();
            }
            return;
        case typUnitState::Ready:
            if (now - m_LastHeard >= m_Timing.lostAfter) {
                Fail(typUnitState::Lost, kTextUnitStoppedAnswering);
                return;
            }
            if (now - std::max(m_LastHeard, m_LastProbe) >= m_Timing.probeAfter) {
                // The parameters request changes nothing in the unit; any answer is a sign of life.
                m_LastProbe = now;
                SendParams();
            }
            return;
        default:
            return;
    }
}

void CUnitSession::Poll(InpQueuePackV7& v7, InpMesQueue& lines) {
    CPackV7 pack;
    while (v7.Read(pack)) TakeV7(pack);
    CPackMes linePack;
    while (lines.Read(linePack)) TakeLinePacket(linePack);
}

bool CUnitSession::IsRefusalFor(const CPackV7& pack, const CIdentV7& own, int unitNode) {
    if (pack.GetClass() != CPackV7::classLink || pack.GetTyp() != CPackV7::typRefuse ||
        pack.GetLength() <= kRefusalMarkByte || pack.GetBuf()[kRefusalMarkByte] != 1)
        return false;
    if (pack.GetLength() < kRefusalLongLength) return true;
    CIdentV7 refused;
    CIdentV7 refuser;
    refused.SetValue(pack.GetBuf() + kRefusedIdentAt);
    refuser.SetValue(pack.GetBuf() + kRefuserIdentAt);
    return refused.GetNode() == own.GetNode() && refuser.GetNode() == unitNode;
}

bool CUnitSession::IsFromUnit(const CMes& m, const UnitAddress& a) {
    if (m.typ != CMes::mesDevAnswer) return false;
    // With a lift code the console has already picked the unit; its address on the line may
    // be anything.
    if (a.codLift >= 1) return true;
    return m.origNode == a.umNum && m.origSub == a.slotNum && m.dev == a.devAddr;
}

void CUnitSession::TakeV7(const CPackV7& pack) {
    if (HasEnded() || m_State == typUnitState::Idle) return;
    if (pack.GetClass() == CPackV7::classData && pack.GetTyp() == CPackV7::typMes) {
        CMes m;
        if (pack.GetMes(m) && m.typ == CMes::mesDevAnswer) TakeMes(m);
        return;
    }
    if (pack.IsCloseLink()) {
        Fail(typUnitState::Closed, kTextUnitClosedLink);
        return;
    }
    if (IsRefusalFor(pack, m_Address.own, m_Address.v7Id)) Fail(typUnitState::Refused, kTextRefused);
}

void CUnitSession::TakeLinePacket(CPackMes& pack) {
    if (HasEnded() || m_State == typUnitState::Idle) return;
    pack.UnPack();
    if (!pack.IsValid() || pack.pultNo != m_Address.pultNum) return;
    CMes m;
    while (pack.GetMes(m)) {
        if (IsFromUnit(m, m_Address)) TakeMes(m);
        if (HasEnded()) return;
    }
}

void CUnitSession::TakeMes(const CMes& m) {
    if (HasEnded() || m_State == typUnitState::Idle || m.typ != CMes::mesDevAnswer) return;
    m_LastHeard = Now();
    if (m.ask == CMes::askDevParam) {
        TakeParams(m);
    } else if (m.ask == CMes::askLbNVRAM) {
        TakeAnswer(m);
    }
}

void CUnitSession::TakeParams(const CMes& m) {
    // After the first report, a repeat is only a sign of life (the probe's answer among them).
    if (m_ParamsReceived || m_State != typUnitState::Loading) return;
    if (!m.IsGood()) {
        Fail(typUnitState::Silent, kTextNotResponding);
        return;
    }
    m_ParamsReceived = true;
    m_Link.TakeParams(m);
    Emit(UnitEvent(UnitEvent::typKind::Params));
    SendRead();
}

void CUnitSession::TakeAnswer(const CMes& m) {
    // An error report brings no word; the next tick asks again.
    if (IsNvramErrorReport(m)) return;
    if (m_State == typUnitState::Writing) {
        // The first answer after the byte writes: the unit has taken them in. What it holds is
        // read afresh, since this answer may carry a word between its low and high byte.
        m_ReadBack.clear();
        m_PacedRead = false;
        m_LastProgress = Now();
        SetState(typUnitState::Verifying, 0);
        SendRead();
        return;
    }
    if (m_State != typUnitState::Loading && m_State != typUnitState::Verifying) return;
    if (m_State == typUnitState::Loading && !m_ParamsReceived) return;

    int index = 0;
    unsigned short value = 0;
    bool isWord = false;
    unsigned short value2 = 0;
    bool hasValue2 = false;
    if (!m.GetLbNVRAM(index, value, isWord, value2, hasValue2) || !isWord || index < 0 || index >= kLuWords) {
        SendRead();
        return;
    }
    if (m_State == typUnitState::Verifying) {
        TakeReadBack(index, value);
        return;
    }

    m_Read[index] = value;
    if (hasValue2) m_Defaults[index] = value2;
    UnitEvent word{UnitEvent::typKind::Word};
    word.word = index;
    Emit(word);
    if (m_State != typUnitState::Loading) return;
    if (m_Read.size() < static_cast<size_t>(kLuWords)) {
        SendRead();
        return;
    }
    if (DefaultsComplete()) m_Defaults[8] = static_cast<uint16_t>(m_Defaults[8] | kLuWord8DefaultBits);
    m_LastHeard = Now();
    m_LastProbe = m_LastHeard;
    SetState(typUnitState::Ready, 0);
}

void CUnitSession::TakeReadBack(int index, uint16_t value) {
    const auto before = m_ReadBack.find(index);
    const bool matchedBefore = before != m_ReadBack.end() && before->second == GetWord(m_Wanted, index);
    const bool isNew = before == m_ReadBack.end();
    m_ReadBack[index] = value;
    const bool matches = value == GetWord(m_Wanted, index);
    // While a byte sent again waits for its word's next reading, every answer counts: under
    // heavy loss a round of reads that reaches that word outlasts the bound.
    const bool awaited = !m_Unconfirmed.empty();
    m_Unconfirmed.erase(index);
    if (isNew || (matches && !matchedBefore) || awaited) m_LastProgress = Now();

    if (m_ReadBack.size() == static_cast<size_t>(kLuWords)) {
        const bool allMatch = std::all_of(m_ReadBack.begin(), m_ReadBack.end(), [this](const auto& e) {
            return e.second == GetWord(m_Wanted, e.first);
        });
        if (allMatch) {
            FinishWrite(typWriteResult::Verified);
            return;
        }
    }
    ResendDiffering();
    if (m_ReadBack.size() < static_cast<size_t>(kLuWords)) {
        SendRead();
        return;
    }
    // A word that differs may be a late answer to one of the byte writes, or a write still on
    // its way: the unit's words are read again, a whole round per tick, until every word
    // matches or the bound runs out.
    m_PacedRead = true;
    m_NextPacedRead = Now() + m_Timing.tick / kLuWords;
}

void CUnitSession::ResendDiffering() {
    // A write may never arrive: the V7 link gives a packet up after its last repeat, and a
    // console passes a request on to a unit that may be restarting. A byte sent whose word was
    // read back with another value goes again, at most once a tick, without waiting for the
    // whole round: under heavy loss a round takes longer than the bound. A late first write does
    // no harm, it carries the same value. A byte the link refused to take stays unsent: the
    // caller was told so.
    if (Now() - m_LastWrite < m_Timing.tick) return;
    bool any = false;
    for (const LuByteWrite& b : m_Sent) {
        const auto seen = m_ReadBack.find(b.address / 2);
        if (seen == m_ReadBack.end()) continue;
        const auto held = static_cast<uint8_t>(b.address % 2 != 0 ? seen->second >> 8 : seen->second & 0xFF);
        const auto request = LuByteWriteRequest(b.address, b.value);
        if (held == b.value || !request || m_Resends[b.address] >= kMaxResends || !SendRequest(*request))
            continue;
        ++m_Resends[b.address];
        m_Unconfirmed.insert(b.address / 2);
        any = true;
    }
    if (any) m_LastWrite = Now();
}

void CUnitSession::FinishWrite(typWriteResult result) {
    UnitEvent written{UnitEvent::typKind::Written};
    written.result = result;
    if (result != typWriteResult::Verified) {
        for (int w = 0; w < kLuWords; ++w) {
            const auto it = m_ReadBack.find(w);
            if (it != m_ReadBack.end() && it->second != GetWord(m_Wanted, w))
                written.mismatches.push_back({w, GetWord(m_Wanted, w), it->second});
        }
    }
    // What the unit was seen to hold replaces what it held before; a word not read back keeps
    // its old value, since nobody knows whether its write arrived.
    for (const auto& [w, value] : m_ReadBack) m_Read[w] = value;
    written.readBack = std::move(m_ReadBack);
    m_ReadBack.clear();
    m_Wanted.clear();
    m_PacedRead = false;
    const auto now = Now();
    m_LastHeard = now;
    m_LastProbe = now;
    SetState(typUnitState::Ready, 0);
    Emit(std::move(written));
}

int CUnitSession::Write(const WordMap& edited) {
    if (m_State != typUnitState::Ready) return -1;
    const std::vector<LuByteWrite> writes = LuWriteBytes(m_Read, edited);
    if (writes.empty()) return 0;
    m_Wanted = m_Read;
    for (int w = 0; w < kLuWords; ++w) m_Wanted[w] = GetWord(edited, w);
    m_LastWrite = Now();
    m_Sent.clear();
    m_Resends.clear();
    m_Unconfirmed.clear();
    for (const LuByteWrite& b : writes) {
        const auto request = LuByteWriteRequest(b.address, b.value);
        if (!request || !SendRequest(*request)) {
            // Bytes already queued may reach the unit: what it holds is read back all the same.
            m_ReadBack.clear();
            m_PacedRead = false;
            m_LastProgress = Now();
            m_NextTick = m_LastProgress;
            SetState(typUnitState::Verifying, 0);
            return -1;
        }
        m_Sent.push_back(b);
    }
    m_ReadBack.clear();
    m_PacedRead = false;
    m_LastProgress = Now();
    m_NextTick = m_LastProgress + m_Timing.tick;
    SetState(typUnitState::Writing, 0);
    return static_cast<int>(writes.size());
}

bool CUnitSession::Restart() {
    if (m_State != typUnitState::Ready) return false;
    return SendRequest(LuRestartRequest());
}

void CUnitSession::LinkLost() {
    if (HasEnded() || m_State == typUnitState::Idle) return;
    Fail(typUnitState::Lost, kTextLinkLost);
}

void CUnitSession::LinkClosed() {
    if (HasEnded() || m_State == typUnitState::Idle) return;
    // The console gives no reason: its CloseLink and its giving up look the same here.
    Fail(typUnitState::Lost, kTextLinkLost);
}

void CUnitSession::SendRead() {
    SendRequest(LuNvramReadRequest());
}

void CUnitSession::SendParams() {
    SendRequest(LuDevParamsRequest());
}

bool CUnitSession::SendRequest(const LuRequest& r) {
    return m_Link.Send(r);
}

void CUnitSession::Fail(typUnitState state, int reason) {
    const bool wasBusy = IsBusy();
    if (state != typUnitState::Silent) m_Link.Stop();
    SetState(state, reason);
    if (wasBusy) {
        // A write cut off by the link: the words read back so far are all that is known.
        UnitEvent written{UnitEvent::typKind::Written};
        written.result = typWriteResult::Unverified;
        for (const auto& [w, value] : m_ReadBack) m_Read[w] = value;
        written.readBack = std::move(m_ReadBack);
        m_ReadBack.clear();
        m_PacedRead = false;
        m_Wanted.clear();
        Emit(std::move(written));
    }
}

void CUnitSession::SetState(typUnitState state, int reason) {
    if (m_State == state && m_Reason == reason) return;
    m_State = state;
    m_Reason = reason;
    Emit(UnitEvent(UnitEvent::typKind::State));
}

void CUnitSession::Emit(UnitEvent event) {
    if (m_Listener) m_Listener(event);
}
