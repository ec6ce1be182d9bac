#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "Logger.h"
#include "PackV7.h"
#include "utilities.h"

namespace fs = std::filesystem;

namespace {

// The protocol log's writer is a thread of its own, hence this separate program.
class PackV7LogTest : public ::testing::Test {
protected:
    void SetUp() override {
        if (const char* old = std::getenv("HOME")) {
            savedHome = old;
        }
        char pattern[] = "/tmp/tolvane-packlog-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        home = pattern;
        ASSERT_EQ(::setenv("HOME", home.c_str(), 1), 0);
    }
    void TearDown() override {
        if (savedHome) {
            ::setenv("HOME", savedHome->c_str(), 1);
        } else {
            ::unsetenv("HOME");
        }
        fs::remove_all(home);
    }

    std::vector<std::string> Lines() const {
        std::ifstream in(home + "/ZARN/logs/Tolvane/pro/C0000001.log", std::ios::binary);
        std::vector<std::string> lines;
        for (std::string line; std::getline(in, line);) {
            lines.push_back(line);
        }
        return lines;
    }

    std::string home;
    std::optional<std::string> savedHome;
};

TEST_F(PackV7LogTest, PacketLineCarriesPacketAndCrc) {
    CPackV7 ack(CIdentV7(123456, 0), CIdentV7(12345678, 0));
    ack.AddRepl(5);
    const unsigned char key[16] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16};
    unsigned char out[CPackV7::kBufSize];
    ASSERT_EQ(ack.ChanCod(out, sizeof out, key), 16);  // writes the CRC behind the packet

    const in6_addr peer = IP6FromStr("10.0.0.5");
    {
        ProLog log;
        ASSERT_TRUE(log.Open("C", "log"));
        LogPacket(log, recReceived, peer, 5000, ack);
        LogPacket(log, recSent, peer, 5000, CPackV7());  // no packet, no line
        LogPacket(log, recSent, LocalHostIPv6(), 7, ack);
        log.Close();
    }
    const std::vector<std::string> lines = Lines();
    ASSERT_EQ(lines.size(), 2u);

    const std::string bytes = "04 00 05 00 40 E2 01 00 4E 61 BC 00 00 BC EE ";
    // "0", direction, address in 39 columns, "|", five-digit port, " ", the time
    // (19 characters), "<" for received, the bytes.
    const std::string& in = lines[0];
    ASSERT_EQ(in.size(), 2 + 39 + 7 + 19 + 1 + bytes.size());
    EXPECT_EQ(in.substr(0, 2 + 39 + 7), "0 " + std::string(24, ' ') + "::ffff:10.0.0.5|05000 ");
    EXPECT_EQ(in.substr(2 + 39 + 7 + 19), "<" + bytes);

    const std::string& out2 = lines[1];
    EXPECT_EQ(out2.substr(0, 2 + 39 + 7), "0>" + std::string(36, ' ') + "::1|00007 ");
    EXPECT_EQ(out2.substr(2 + 39 + 7 + 19), " " + bytes);
}

}  // namespace
