// A dispatcher datagram, plain or enciphered with the link's base-key cipher: the frame's
// checks, the walk over its messages and every catalogue reader on each. Enciphered ones also
// go through the sender's own receive path, twice, as a repeat would come.
//
// Input: mode (bit 0: encipher, bit 1: the target writes the frame length and CRC, so that
// mutations reach the records), the reader's buffer room / 2, then the frame.
#include <vector>

#include "FuzzLinks.h"
#include "FuzzSupport.h"
#include "PackDisp.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    FuzzInput in(data, size);
    const int mode = in.U8();
    const int room = 2 * in.U8();
    const auto body = in.Bytes(CPackDisp::kWireSize);
    std::vector<unsigned char> wire(body.begin(), body.end());
    const bool cipher = (mode & 1) != 0;
    if ((mode & 2) != 0 && wire.size() >= CPackDisp::kHeadSize) {
        const int f = static_cast<int>(wire.size());
        wire[0] = static_cast<unsigned char>(f & 0xFF);
        wire[1] = static_cast<unsigned char>(f >> 8);
        const uint16_t crc = CPackDisp::Crc16(wire.data(), f);
        wire.push_back(static_cast<unsigned char>(crc & 0xFF));
        wire.push_back(static_cast<unsigned char>(crc >> 8));
    }
    if (cipher) {
        wire.resize((wire.size() + 7) / 8 * 8);
        FuzzDispCipher().Encrypt(wire.data(), wire.data(), static_cast<int>(wire.size() / 8));
    }
    const int n = static_cast<int>(wire.size());

    CPackDisp p;
    p.Decoding(wire.data(), n, cipher ? &FuzzDispCipher() : nullptr);
    if (p.valid) {
        CMesDisp m;
        p.BegGet();
        while (p.GetMes(m)) {
            FUZZ_CHECK(p.pos <= p.Len());
            ReadDispMessage(m, room);
        }
        int nReply = 0;
        p.GetReply(nReply);
        FUZZ_CHECK(nReply == p.nReply && nReply >= 0 && nReply <= CPackDisp::kMaxReply);
        long t = 0;
        DBGUID guid;
        p.GetTimeAndGUID(t, guid);
        p.IsExistClose();
        p.ToString(L"fuzz");
        p.UnPack();
        FUZZ_CHECK(p.valid);
    } else {
        // A refused datagram leaves the empty frame, never its own bytes.
        FUZZ_CHECK(p.Len() == CPackDisp::kHeadSize && !p.HasMessages());
    }

    if (cipher) {
        FuzzDispLink link(room);
        link.Handling(wire.data(), n);
        FUZZ_CHECK(link.Handled() == (p.valid ? 1 : 0));
        // A frame that asks for an acknowledgement is handled once, however often it comes.
        link.Handling(wire.data(), n);
        FUZZ_CHECK(link.Handled() == (p.valid ? (p.ident == 0 ? 2 : 1) : 0));
    }
    return 0;
}
