// Dispatcher frames built from the fuzzer's messages, ident and acknowledgements come back
// unchanged through the plain and the enciphered form.
//
// Input: bit 0 of the first byte enciphers; ident; reply count and bytes; then messages, each
// a code (1..254), a body length and the body.
#include <cstring>
#include <vector>

#include "FuzzSupport.h"
#include "PackDisp.h"

namespace {

bool NextMessage(FuzzInput& in, CMesDisp& m) {
    const int code = in.Int(1, 254);
    const auto body = in.Bytes(in.U16() % (CMesDisp::kBufSize - CMesDisp::kHeadSize + 1));
    unsigned char bytes[CMesDisp::kBufSize];
    const int len = CMesDisp::kHeadSize + static_cast<int>(body.size());
    bytes[0] = static_cast<unsigned char>(len & 0xFF);
    bytes[1] = static_cast<unsigned char>(len >> 8);
    bytes[2] = static_cast<unsigned char>(code);
    std::copy(body.begin(), body.end(), bytes + CMesDisp::kHeadSize);
    return m.Assign(bytes, len);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const CIdeaCtx* ctx = in.Bool() ? &FuzzDispCipher() : nullptr;
    const int ident = in.U8();
    const int nReply = in.U8() % (CPackDisp::kMaxReply + 1);
    unsigned char replies[CPackDisp::kMaxReply];
    in.Fill(replies, sizeof replies);

    CPackDisp frame;
    std::vector<CMesDisp> sent;
    for (int i = 0; i < 64 && in.Left() > 0; ++i) {
        CMesDisp m;
        FUZZ_CHECK(NextMessage(in, m));
        if (frame.AddMes(m)) sent.push_back(m);
    }
    FUZZ_CHECK(frame.SetIdent(ident));
    frame.AddReply(replies, nReply);

    unsigned char wire[CPackDisp::kWireSize];
    const int n = frame.Encoding(wire, sizeof wire, ctx);
    FUZZ_CHECK(n >= frame.Len() + 2);
    CPackDisp got;
    got.Decoding(wire, n, ctx);
    FUZZ_CHECK(got.valid && got.ident == ident && got.isVoice == frame.isVoice);
    FUZZ_CHECK(got.Len() == frame.Len() && std::memcmp(got.Data(), frame.Data(), frame.Len() + 2) == 0);
    int sentReplies = 0, gotReplies = 0;
    const unsigned char* a = frame.GetReply(sentReplies);
    const unsigned char* b = got.GetReply(gotReplies);
    FUZZ_CHECK(gotReplies == sentReplies && std::memcmp(a, b, sentReplies) == 0);

    CMesDisp m;
    got.BegGet();
    for (const CMesDisp& s : sent) FUZZ_CHECK(got.GetMes(m) && m == s);
    FUZZ_CHECK(!got.GetMes(m));
    return 0;
}
