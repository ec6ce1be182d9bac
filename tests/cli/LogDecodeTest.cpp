// The traffic logs read back: log lines as the two logs write them, and packets built by the
// tool's own builders and answered by the simulated unit, decoded into readable words.

#include <gtest/gtest.h>

#include <cstdio>

#include "LogDecode.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackDisp.h"
#include "PackV7.h"
#include "SimLu.h"

namespace {

const LuTarget kTarget{2, 3, 5, 255, 15};

std::vector<uint8_t> V7Bytes(CPackV7 p, int ident = 4) {
    CIdentV7 tool, unit;
    tool.Set(12345678, 0);
    unit.Set(104233, 0);
    p.SetID(tool, unit);
    p.SetIdent(ident);
    unsigned char out[CPackV7::kBufSize];
    // The coding writes the CRC-16 behind the packet, as the log holds it.
    p.ChanCod(out, sizeof out, CKeySys());
    return {p.GetBuf(), p.GetBuf() + p.GetLength() + 2};
}

std::string Hex4(unsigned v) {
    char text[8];
    std::snprintf(text, sizeof text, "0x%04X", v);
    return text;
}

TEST(LogDecode, LinesOfBothLogs) {
    const std::string pad(24, ' ');
    const std::pair<std::string, std::string> lines[] = {
        {"0>" + pad + pad.substr(12) + "::1|40001 04.12.2026 16:05.09 04 00 00 ",
         "04.12.2026 16:05.09 > [::1]:40001 V7 short packet (3 bytes)"},
        {"0 " + pad + "::ffff:10.0.0.5|05000 04.12.2026 16:05.09<01 02 03 ",
         "04.12.2026 16:05.09 < [::ffff:10.0.0.5]:5000 V7 short packet (3 bytes)"},
        // The empty frame and its CRC: only bytes read right make a valid frame.
        {">" + pad + pad.substr(12) + "::1|07000 04.12.2026 16:05.10 04 00 00 10 C0 D8 ",
         "04.12.2026 16:05.10 > [::1]:7000 Disp ident 0"},
    };
    for (const auto& [line, decoded] : lines) {
        const auto parsed = ParseLogLine(line);
        ASSERT_TRUE(parsed) << line;
        EXPECT_EQ(DecodeLogLine(*parsed), decoded);
    }

    const std::string broken[] = {
        "",
        "04.12.2026 16:05:09 Start tolvane-cli",
        "0> ::1 40001 04.12.2026 16:05.09 04 00 00 ",  // no bar before the port
        "0> ::1|40001 04.12.2026 16:05.09<04 00 00 ",  // sent, yet marked received
        "0  ::1|40001 04.12.2026 16:05.09<04 0G 00 ",  // no hex byte
        "0  ::1|40001 04.12.2026 16:05.09<",           // no bytes
        "0  ::1|4000100 04.12.2026 16:05.09<04 ",      // a port of seven digits
    };
    for (const std::string& line : broken) EXPECT_FALSE(ParseLogLine(line)) << line;
}

TEST(LogDecode, PacketsOfTheUnitsService) {
    SimLuOptions options;
    SimLu unit(options);
    SimLuOptions failing;
    failing.readError = true;
    SimLu failingUnit(failing);
    const SimLuWords words = SimLuBuiltinNvram(options);
    const SimLuWords defaults = SimLuBuiltinDefaults(options);
    const CMes read = *LuNvramReadMes(kTarget);

    CPackV7 ack(CIdentV7(104233, 0), CIdentV7(12345678, 0));
    ack.AddRepl(7);
    CPackV7 close;
    const unsigned char closer[4] = {0, 0x4E, 0x61, 0xBC};
    close.SetLink(CPackV7::typCloseLink, closer, 4);
    std::vector<uint8_t> damaged = V7Bytes(CPackV7(read));
    damaged[14] ^= 1;

    const struct {
        const char* name;
        std::vector<uint8_t> bytes;
        std::string expected;
    } cases[] = {
        {"read", V7Bytes(CPackV7(read)),
         "V7 4.1 ident 4 repl 0 12345678.0->104233.0 | type 58 dev 5 255.15->2.3 NVRAM read"},
        {"write", V7Bytes(CPackV7(*LuByteWriteMes(kTarget, 11, 0x12))),
         "NVRAM write byte 11 (word 5 high) := 0x12"},
        {"write far up", V7Bytes(CPackV7(*LuByteWriteMes(kTarget, 6001, 0xA5))),
         "NVRAM write byte 6001 (word 3000 high) := 0xA5"},
        {"restart", V7Bytes(CPackV7(*LuRestartMes(kTarget))), "| type 58 dev 5 255.15->2.3 restart"},
        {"parameters", V7Bytes(CPackV7(*LuDevParamsMes(kTarget))), "device parameters?"},
        {"parameters answered", V7Bytes(CPackV7(unit.Handle(*LuDevParamsMes(kTarget)).at(0))),
         "type 26 dev 5 2.3->255.15 device parameters: type 14"},
        {"word answered", V7Bytes(CPackV7(unit.Handle(read).at(0))),
         "NVRAM word 0 = " + Hex4(words[0]) + " (default " + Hex4(defaults[0]) + ")"},
        {"error report", V7Bytes(CPackV7(failingUnit.Handle(read).at(0))), "NVRAM error report"},
        {"damaged", damaged, "CRC-BAD"},
        {"acknowledgement", V7Bytes(ack, 0), "V7 4.0 ident 0 repl 7 12345678.0->104233.0 ack"},
        {"close", V7Bytes(close, 0), "V7 3.4 ident 0 repl 0 12345678.0->104233.0 close link by "},
    };
    for (const auto& c : cases) {
        const std::string text = DecodeV7Packet(c.bytes);
        EXPECT_NE(text.find(c.expected), std::string::npos) << c.name << ": " << text;
    }
}

TEST(LogDecode, FramesOfTheConsoleLink) {
    SimLu unit{SimLuOptions{}};
    const CMes read = *LuNvramReadMes(kTarget);
    auto frame = [](bool send, const CMes& m, int ident, std::vector<unsigned char> acks) {
        CPackMes line(255, 2, 8);
        line.AddMes(m);
        CMesDisp mes;
        EXPECT_TRUE(send ? mes.Create_SendMsg(17, 8, line.len, line.buf)
                         : mes.Create_Msg(17, line.len, line.buf));
        CPackDisp f(mes);
        f.SetIdent(ident);
        if (!acks.empty()) f.AddReply(acks.data(), static_cast<int>(acks.size()));
        return std::vector<uint8_t>(f.Data(), f.Data() + f.Len() + 2);
    };
    EXPECT_EQ(DecodeDispFrame(frame(true, read, 3, {})),
              "Disp ident 3 | SendMsg target 17 kind 8 | type 58 dev 5 255.15->2.3 NVRAM read");
    const std::string answer = DecodeDispFrame(frame(false, unit.Handle(read).at(0), 9, {3, 4}));
    EXPECT_EQ(
        answer.rfind("Disp ident 9 acks 3,4 | Msg source 17 | type 26 dev 5 2.3->255.15 NVRAM word 0 = ", 0),
        0u)
        << answer;
    std::vector<uint8_t> bad = frame(true, read, 3, {});
    bad.back() ^= 1;
    EXPECT_EQ(DecodeDispFrame(bad).rfind("Disp bad frame", 0), 0u);
}

}  // namespace
