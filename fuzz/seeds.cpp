// Writes the seed corpus of every fuzz target into DIR/<target>/: valid inputs made with the
// project's own builders, laid out as each target reads its input, and a few edge cases.
// Usage: tolvane_fuzz_seeds DIR
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "Disp.h"
#include "FuzzLinks.h"
#include "FuzzSupport.h"
#include "Mes.h"
#include "NvRam.h"
#include "Pack.h"
#include "PackDisp.h"
#include "PackV7.h"

namespace {

using Bytes = std::vector<uint8_t>;
namespace fs = std::filesystem;

fs::path g_Dir;

void Save(const char* target, const std::string& name, const Bytes& b) {
    const fs::path dir = g_Dir / target;
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary).write(reinterpret_cast<const char*>(b.data()), b.size());
}

// Fields in the order FuzzInput takes them.
struct Seed {
    Bytes b;
    Seed& U8(int v) {
        b.push_back(static_cast<uint8_t>(v));
        return *this;
    }
    Seed& U16(int v) { return U8(v & 0xFF).U8(v >> 8); }
    Seed& U32(uint32_t v) { return U16(static_cast<int>(v & 0xFFFF)).U16(static_cast<int>(v >> 16)); }
    // The value FuzzInput::Int(lo, hi) reads back as v.
    Seed& Int(int lo, int v) { return U32(static_cast<uint32_t>(v - lo)); }
    Seed& Raw(const void* p, size_t n) {
        const auto* q = static_cast<const uint8_t*>(p);
        b.insert(b.end(), q, q + n);
        return *this;
    }
    Seed& Raw(const Bytes& more) { return Raw(more.data(), more.size()); }
};

Bytes Units(const CMes& m) {
    return Bytes(m.data, m.data + m.len);
}

// ---- what the unit says ----

// An answer from the unit on UM 3, slot 4, device 5 to the console, with payload units.
CMes Answer(CMes::askFromMain ask, const Bytes& units) {
    return CMes(0, 0, 3, 4, 5, CMes::mesDevAnswer, ask, units.data(), static_cast<int>(units.size()), -1);
}

Bytes Packed(const Bytes& bytes) {
    unsigned char units[CMes::kMaxUnits];
    const int n = CMes::Conv8To6(static_cast<int>(bytes.size()), bytes.data(), units, sizeof units);
    return Bytes(units, units + n);
}

std::vector<std::pair<std::string, CMes>> Messages() {
    Bytes longParams(24, 0);
    longParams[0] = CDev::devLB14;  // parameter unit 2: the type
    longParams[1] = 0x24;
    longParams[2] = 0x3C;
    longParams[3] = 5;  // variant, low part
    longParams[5] = 2;  // variant, high part
    longParams[7] = 4;  // version digits and high byte
    longParams[8] = 7;
    longParams[9] = 1;
    longParams[18] = 1;
    Bytes refused = Packed({5, 0, 0});
    refused.back() |= 32;
    unsigned char write[4];
    LbNvramWriteUnits(10, 0x34, write);
    Bytes state(22, 0);
    state[6] = 3;
    state[7] = 9;
    const unsigned char slotWord[4] = {7, 0x12, 0x0D, 0x23};
    const unsigned char block[6] = {1, 2, 3, 250, 251, 252};
    const unsigned char service[6] = {0, 4, 1, 2, 1, 5};
    const unsigned char prefix[3] = {1, 2, 3};
    return {
        {"params-long", Answer(CMes::askDevParam, longParams)},
        {"params-short", Answer(CMes::askDevParam, {CDev::devLB12, 0, 0, 9, 0, 0})},
        {"nvram-word", Answer(CMes::askLbNVRAM, Packed({5, 0x34, 0x12}))},
        {"nvram-word-default", Answer(CMes::askLbNVRAM, Packed({5, 0x34, 0x12, 0x00, 0x10}))},
        {"nvram-byte", Answer(CMes::askLbNVRAM, Bytes(write, write + 4))},
        {"nvram-refused", Answer(CMes::askLbNVRAM, refused)},
        {"lift-state", Answer(CMes::askState, state)},
        {"slot-word", CMes(0, 0, 3, 4, CMes::mesNvramSlot, slotWord, 4)},
        {"nvram-block", CMes(0, 0, 3, 4, CMes::rezOk, 100, 6, block)},
        {"alert", CMes(0, 0, 3, 4, static_cast<CMes::typAlert>(0x12345678), block, 6)},
        {"service", CMes(0, 0, 3, 4, CMes::servRoute, service, 6)},
        {"prefix", CMes(0, 0, 3, 4, CMes::prefNone, 5, CMes::askLbNVRAM, 3, prefix)},
    };
}

CPackMes LinePacket(const std::vector<CMes>& messages, int ident, int reply) {
    CPackMes p(3, 0, 255);
    if (ident >= 0) p.SetIdent(ident);
    for (const CMes& m : messages) p.AddMes(m);
    if (reply >= 0) p.AddRepl(static_cast<unsigned char>(reply));
    return p;
}

Bytes Bytes4(const CIdentV7& id) {
    Bytes b(CIdentV7::kWireSize);
    id.GetValue(b.data());
    return b;
}

// A packet from the unit to the tool in the fields of BuildV7Packet.
Seed V7Fields(int builder, int type, int askByte, int ident, int repl, const Bytes& payload) {
    Seed s;
    s.U8(builder).U8(type).U8(askByte).U8(ident).U8(repl);
    s.Raw(Bytes4(FuzzV7Endpoint::kUnit)).Raw(Bytes4(FuzzV7Endpoint::kOwn)).Raw(payload);
    return s;
}

std::vector<std::pair<std::string, Seed>> V7Packets() {
    const auto msgs = Messages();
    Bytes refusal{1};
    const Bytes own = Bytes4(FuzzV7Endpoint::kOwn), unit = Bytes4(FuzzV7Endpoint::kUnit);
    refusal.insert(refusal.end(), own.begin(), own.end());
    refusal.insert(refusal.end(), unit.begin(), unit.end());
    const Bytes records{4, 1, 0xAA, 0xBB, 2, 11, 3, 0, 9};
    return {
        {"message-nvram", V7Fields(4, 1, 0, 3, 0, Units(msgs[3].second))},
        {"message-params", V7Fields(4, 1, 0, 4, 2, Units(msgs[0].second))},
        {"refusal-long", V7Fields(0, CPackV7::typRefuse, 0, 0, 0, refusal)},
        {"refusal-short", V7Fields(0, CPackV7::typRefuse, 0, 0, 0, {1})},
        {"close-link", V7Fields(0, CPackV7::typCloseLink, 0, 0, 0, unit)},
        {"records", V7Fields(2, CPackV7::typMsgList, 0, 6, 0, records)},
        {"restart", V7Fields(2, CPackV7::typAsk3, 0x80 | CPackV7::askRestart, 7, 0, {})},
        {"voice-to-unit", V7Fields(5, 0, 0, 0, 0, Bytes(CPackV7::kVoiceBytes, 0x55))},
        {"acknowledgement", V7Fields(6, 0, 0, 0, 9, {})},
    };
}

// The packet BuildV7Packet makes from the fields.
CPackV7 BuildFrom(const Seed& s) {
    FuzzInput in(s.b.data(), s.b.size());
    CPackV7 p;
    bool oversized = false;
    BuildV7Packet(in, p, oversized);
    return p;
}

void V7Seeds() {
    unsigned char out[CPackV7::kBufSize];
    for (const auto& [name, fields] : V7Packets()) {
        CPackV7 p = BuildFrom(fields);
        const int n = p.ChanCod(out, sizeof out, FuzzLinkKey());
        Save("v7_datagram", name, Bytes(out, out + n));
        Save("v7_receive", name, Seed().U16(0).Raw(fields.b).b);
        Save("v7_roundtrip", name, Seed().U8(0).Raw(fields.b).b);
        const int m = p.ChanCloudProCod(out, sizeof out, FuzzLinkKey());
        Save("v7_datagram", name + "-relay", Bytes(out, out + m));
    }
    const Seed nvram = V7Packets()[0].second;
    // Through the relay, with a unit reached that way: 1 + 16 + 32.
    Save("v7_receive", "relay", Seed().U16(49).Raw(nvram.b).b);
    // The unit's own key, and a datagram from a new address.
    Save("v7_receive", "own-key-moved", Seed().U16(2 | 64 | 128).Raw(nvram.b).b);
    CPackV7 p = BuildFrom(nvram);
    const int n = p.ChanCod(out, sizeof out, FuzzLinkKey());
    Save("v7_receive", "raw", Seed().U16(256).Raw(out, n).b);
    Save("v7_roundtrip", "longest-link", Seed().U8(1).Raw(V7Fields(0, 1, 0, 0, 0, Bytes(1009, 7)).b).b);

    Save("v7_datagram", "too-short", Bytes(15, 0));
    Save("v7_datagram", "three", {1, 2, 3});
    Save("v7_datagram", "full", Bytes(CPackV7::kBufSize, 0xA5));
}

// ---- line packets and messages ----

void LineSeeds() {
    const auto msgs = Messages();
    for (const auto& [name, m] : msgs) {
        Save("lu_message", name, Units(m));
        if (m.typ == CMes::mesDevAnswer && m.ask == CMes::askLbNVRAM)
            Save("nvram_answer", name, Bytes(m.data + 8, m.data + m.len));
    }
    Save("lu_message", "full", Bytes(CMes::kMaxLoad, 0x3F));
    Save("lu_message", "one-too-many", Bytes(CMes::kMaxUnits, 1));
    Save("lu_message", "high-bits", Bytes(30, 0xC5));
    Save("nvram_answer", "short", {5, 0, 0});

    const CPackMes one = LinePacket({msgs[2].second}, 5, 7);
    const CPackMes two = LinePacket({msgs[0].second, msgs[3].second}, -1, -1);
    Save("line_packet", "ident-message-reply", Bytes(one.buf, one.buf + one.len));
    Save("line_packet", "two-messages", Bytes(two.buf, two.buf + two.len));
    Save("line_packet", "reply-only", {0x30, 0x45});
    Save("line_packet", "bad-length", {0x30, 60, 1, 2, 3, 4, 5});
    Save("line_packet", "long", Bytes(100, 0x3F));

    for (const auto& [ident, reply, picks] :
         {std::tuple{0x85, 0x87, std::vector<int>{2}}, std::tuple{0x00, 0x00, std::vector<int>{0, 3}}}) {
        Seed s;
        s.U8(3).U8(0).U8(ident).U8(reply);
        for (int i : picks) s.Int(5, msgs[i].second.len).Raw(Units(msgs[i].second));
        Save("line_roundtrip", "messages-" + std::to_string(picks.size()), s.b);
    }
    Save("line_roundtrip", "full", Seed().U8(1).U8(2).U8(0xBF).U8(0xC0).Int(5, 58).Raw(Bytes(58, 9)).b);

    Save("mes_roundtrip", "packing", Seed().U8(0).U8(40).Raw({1, 2, 3, 250, 251, 252, 0x80}).b);
    Save("mes_roundtrip", "packing-short-room", Seed().U8(0).U8(5).Raw({1, 2, 3, 4}).b);
    Seed target;
    target.Int(-1, 3).Int(-1, 4).Int(-1, 5).Int(-1, 255).Int(-1, 15);
    Save("mes_roundtrip", "byte-write", Seed().U8(1).Raw(target.b).Int(-2, 10).U8(0x34).b);
    Save("mes_roundtrip", "byte-write-last", Seed().U8(1).Raw(target.b).Int(-2, kLbNvramMaxAddr).U8(0xFF).b);
    Save("mes_roundtrip", "word-write", Seed().U8(2).Raw(target.b).Int(-1, 5).U16(0x1234).b);
}

// ---- the dispatcher link ----

std::vector<CMesDisp> DispMessages() {
    const auto msgs = Messages();
    const CPackMes line = LinePacket({msgs[3].second}, -1, -1);
    std::vector<CMesDisp> out(9);
    out[0].Create_Msg(1, line.len, line.buf);
    out[1].Create_CloseLink();
    const int list[5] = {1, 2, 3, 4, 5};
    out[2].Create_OpenLinkEx(list, 5, 6, 7);
    out[3].Create_TimeAndGUID(1700000000, DBGUID());
    out[4].Create_Config(0, 1, L"<Disp/>");
    out[5].Create_ParCfg(1, 2, 3, 4, 5, list);
    out[6].Create_Node(1, 2, 3, 4, L"node");
    const unsigned char state[4] = {1, 2, 3, 4};
    out[7].Create_Event(1, 2, 3, DBTime(), 4, 5, 6, 7, 8, 9, 4, state, L"event");
    out[8].Create_GetNode(1, 2);
    return out;
}

void DispSeeds() {
    const auto msgs = DispMessages();
    const unsigned char acks[3] = {4, 5, 6};
    CPackDisp all;
    for (const CMesDisp& m : msgs) all.AddMes(m);
    all.SetIdent(1);
    all.AddReply(acks, 3);
    CPackDisp msg(msgs[0]);
    msg.SetIdent(9);
    CPackDisp close(msgs[1]);
    CPackDisp empty;
    CMesDisp voice;
    const unsigned char sound[8] = {};
    voice.Create_Voice(1, 2, 8, sound);
    CPackDisp voiceFrame(voice);

    unsigned char wire[CPackDisp::kWireSize];
    const std::pair<const char*, CPackDisp*> frames[] = {
        {"all", &all}, {"msg", &msg}, {"close", &close}, {"empty", &empty}, {"voice", &voiceFrame}};
    for (const auto& [name, frame] : frames) {
        const int plain = frame->Encoding(wire, sizeof wire, nullptr);
        Save("disp_frame", std::string(name) + "-plain", Seed().U8(0).U8(245).Raw(wire, plain).b);
        const int ciphered = frame->Encoding(wire, sizeof wire, &FuzzDispCipher());
        Save("disp_frame", std::string(name) + "-ciphered", Seed().U8(1).U8(245).Raw(wire, ciphered).b);
        // Without the CRC: the target writes the length and the CRC itself.
        Save("disp_frame", std::string(name) + "-body", Seed().U8(3).U8(245).Raw(wire, plain - 2).b);
    }
    Save("disp_frame", "small-room", Seed().U8(2).U8(1).Raw(all.Data(), all.Len()).b);
    Save("disp_frame", "too-long", Seed().U8(0).U8(245).Raw(Bytes(CPackDisp::kBufSize + 1, 0x10)).b);
    Save("disp_frame", "place-holder", Seed().U8(2).U8(245).Raw({0, 0, 0, 0x10, 2, 0, 3, 0, 27}).b);

    for (int cipher = 0; cipher < 2; ++cipher) {
        Seed s;
        s.U8(cipher).U8(1).U8(3).Raw(Bytes{4, 5, 6}).Raw(Bytes(CPackDisp::kMaxReply - 3, 0));
        for (const CMesDisp& m : msgs)
            s.Int(1, m.TypMes()).U16(m.Len() - CMesDisp::kHeadSize).Raw(m.Data() + 3, m.Len() - 3);
        Save("disp_roundtrip", cipher ? "ciphered" : "plain", s.b);
    }
}

// ---- XML ----

std::string SampleStructure() {
    class Root : public CDisp {
    public:
        void Put(CPult*, CPackMes&) override {}
    } root;
    root.SetNumber(7);
    root.SetName(L"Centre & <co>");
    auto pult = std::make_unique<CPult>(2);
    pult->SetOwn(12, 3);
    auto um = std::make_unique<CUM>(5, pult.get());
    auto slot = std::make_unique<CSlot>(3, um.get(), static_cast<CSlot::typSlot>(2), nullptr);
    slot->SetLinkTo(6, 1);
    slot->SetVolume(7, 9);
    CLinkCLL cll;
    cll.number = 1;
    cll.ip.addr = 0x0A000005;
    cll.dataPort.port = 5000;
    cll.note = L"upper shaft";
    slot->LinkCLL().Insert(std::make_unique<CLinkCLL>(cll));
    slot->DevTab().Insert(std::make_unique<CDev>(4, slot.get(), CDev::devLB14, nullptr));
    um->SlotTab().Insert(std::move(slot));
    pult->UMTab().Insert(std::move(um));
    pult->UMTab().SetLink();
    root.PultTab().Insert(std::move(pult));
    std::string text;
    root.XMLSaveStr(text);
    return text;
}

void SettingsSeeds() {
    Bytes image;
    for (int k = 0; k < kLuWordBytes; ++k) image.push_back(static_cast<uint8_t>(0x11 * k));
    Save("settings_file", "image", image);
    Save("settings_file", "short", Bytes(image.begin(), image.end() - 1));
    image.push_back(0);
    Save("settings_file", "long", image);
    Save("settings_file", "empty", {});
}

void XmlSeeds() {
    auto text = [](const std::string& s) { return Bytes(s.begin(), s.end()); };
    Save("structure_xml", "sample", text(SampleStructure()));
    Save("structure_xml", "foreign-elements",
         text("<?xml version='1.0'?><Disp Number='1' Extra='x'><!-- note --><Other/>"
              "<Pult Number='4'><Um Number='1'><Slot Number='2' TypSlot='14' LinkUM='8' LinkSlot='3'>"
              "<TabDev><Dev Addr='5' TypDev='12' Variant='37'/></TabDev></Slot></Um></Pult></Disp>"));
    Save("structure_xml", "duplicate", text("<Disp><Pult Number='1'/><Pult Number='1'/></Disp>"));
    Save("structure_xml", "empty", text("<?xml version=\"1.0\"?>\n<Disp/>\n"));

    Save("client_cfg", "english", text("<?xml version=\"1.0\"?><ZARNClient Language=\"enu\"/>"));
    Save("client_cfg", "russian-spaced", text("<ZARNClient Language=\" rus \"> </ZARNClient>"));
    Save("client_cfg", "other", text("<ZARNClient Language=\"deu\"/>"));
    Save("client_cfg", "no-root", text("<Other><ZARNClient Language=\"enu\"/></Other>"));
    Save("client_cfg", "broken", text("<ZARNClient Language=\"enu\""));
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s DIR\n", argv[0]);
        return 2;
    }
    g_Dir = argv[1];
    // The codings draw random bytes: a fixed start keeps the corpus the same from run to run.
    std::srand(1);
    V7Seeds();
    LineSeeds();
    DispSeeds();
    XmlSeeds();
    SettingsSeeds();
    return 0;
}
