#pragma once

// What every fuzz target shares: a reader of the fuzzer's bytes, a check that stops the run,
// the fixed keys, and the readers that walk a decoded packet the way the tool does.

#include <cstddef>
#include <cstdint>
#include <span>

#include "Idea.h"
#include "KeySys.h"

class CMes;
class CMesDisp;
class CPackMes;
class CPackV7;

// A broken property is a finding like a memory fault: report it and stop, so that the
// fuzzer keeps the input.
[[noreturn]] void FuzzFail(const char* what, const char* file, int line);
#define FUZZ_CHECK(cond) ((cond) ? void() : FuzzFail(#cond, __FILE__, __LINE__))

// Takes fields from the front of the fuzzer's bytes, little-endian; zeros once they run out,
// so that every input is a complete record. seeds.cpp writes its inputs in the same order.
class FuzzInput {
public:
    FuzzInput(const uint8_t* data, size_t size) : m_Data(data), m_Size(size) {}

    uint8_t U8();
    uint16_t U16();
    uint32_t U32();
    // lo..hi, both included.
    int Int(int lo, int hi);
    bool Bool() { return (U8() & 1) != 0; }
    // Up to n bytes, fewer at the end.
    std::span<const uint8_t> Bytes(size_t n);
    std::span<const uint8_t> Rest() { return Bytes(m_Size - m_Pos); }
    // Exactly n bytes into out, zeros past the end of the input.
    void Fill(void* out, size_t n);
    size_t Left() const { return m_Size - m_Pos; }

private:
    const uint8_t* m_Data;
    size_t m_Size;
    size_t m_Pos = 0;
};

// The endpoint's link key (the default one) and a second key a wrong party would use.
const CKeySys& FuzzLinkKey();
const CKeySys& FuzzOtherKey();
// The dispatcher link's cipher as a sender keys it before any user logs in: the base key
// alone.
const CIdeaCtx& FuzzDispCipher();

// A V7 packet from the fuzzer's fields: builder (link, data, request, voice, message, voice
// to the unit, bare), type, ask byte, ident, repl, the two identities, then the payload.
// Returns the builder's result; `oversized` tells whether the payload passed its limit.
bool BuildV7Packet(FuzzInput& in, CPackV7& p, bool& oversized);

// Every decoder the tool and its structure model run on a message from the unit: the
// answer check, both NVRAM answer forms, the device parameters (on a device outside any
// tree) and the other readers of the record. Checks that the decoders agree with each other.
void ReadMessage(const CMes& m);
// A received line packet as the windows take it: the walk over its messages, each read.
void ReadLinePacket(CPackMes& p);
// What the tool does with a decoded V7 packet: the message it carries, the status records,
// the close-link identity and the refusal.
void ReadV7Packet(const CPackV7& p);
// Every catalogue reader on one message; blocks and lists go into buffers of `room` units.
// Only the reader of the message's own code may accept it.
void ReadDispMessage(const CMesDisp& m, int room);
