#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>

#include "ScopedHomeUtil.h"
#include "SettingsFile.h"

namespace {

namespace fs = std::filesystem;
using Kind = SettingsFileError::typKind;

void WriteBytes(const std::string& path, size_t n, unsigned char first = 0) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    for (size_t i = 0; i < n; ++i) out.put(static_cast<char>(first + i));
}

TEST(SettingsFile, LoadTakesOnlyARegularFileOfExactly64Bytes) {
    ScopedHome home;
    const std::string dir = home.Path();
    ASSERT_EQ(::mkfifo((dir + "/fifo.046").c_str(), 0600), 0);
    struct Case {
        std::string path;
        long long bytes;  // written first; -1: the path is left as it is
        Kind kind;
    } cases[] = {
        {dir + "/empty.046", 0, Kind::WrongLength}, {dir + "/short.046", 63, Kind::WrongLength},
        {dir + "/long.046", 65, Kind::WrongLength}, {dir + "/big.046", 1 << 20, Kind::WrongLength},
        {dir + "/fifo.046", -1, Kind::NotRegular},  // must not wait for a writer
        {"/dev/zero", -1, Kind::NotRegular},        {dir, -1, Kind::NotRegular},
        {dir + "/missing.046", -1, Kind::System},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.path);
        if (c.bytes >= 0) WriteBytes(c.path, static_cast<size_t>(c.bytes));
        WordMap words{{3, 0x1234}};
        SettingsFileError error;
        EXPECT_FALSE(LoadSettingsFile(c.path, words, error));
        EXPECT_EQ(error.kind, c.kind);
        EXPECT_EQ(error.length, c.kind == Kind::WrongLength ? c.bytes : -1);
        EXPECT_EQ(words, (WordMap{{3, 0x1234}})) << "a refused file changes nothing";
    }
}

TEST(SettingsFile, SavedWordsLoadBackLowByteFirst) {
    ScopedHome home;
    const std::string path = home.Path() + "/unit.046";
    WriteBytes(path, 64, 0x10);
    WordMap words;
    SettingsFileError error;
    ASSERT_TRUE(LoadSettingsFile(path, words, error));
    ASSERT_EQ(words.size(), 32u);
    EXPECT_EQ(words[0] * 0x10000 + words[31], 0x11104F4E);

    // A missing word is written as 0 in its place, not skipped.
    ASSERT_TRUE(SaveSettingsFile(path, WordMap{{0, 0xA1B2}, {2, 0x0304}, {31, 0xFFEE}}, error)) << error.step;
    std::ifstream in(path, std::ios::binary);
    const std::string bytes((std::istreambuf_iterator<char>(in)), {});
    EXPECT_EQ(bytes.size(), 64u);
    EXPECT_EQ(bytes.substr(0, 6), std::string("\xB2\xA1\x00\x00\x04\x03", 6));
    ASSERT_TRUE(LoadSettingsFile(path, words, error));
    EXPECT_EQ(std::vector<int>({words[1], words[2], words[31]}), std::vector<int>({0, 0x0304, 0xFFEE}));
}

TEST(SettingsFile, SaveReplacesALinksTargetKeepsItsModeOrSaysWhichStepFailed) {
    ScopedHome home;
    const std::string target = home.Path() + "/kept.046", link = home.Path() + "/link.046";
    WriteBytes(target, 64);
    ASSERT_EQ(::chmod(target.c_str(), 0640), 0);
    ASSERT_EQ(::symlink("kept.046", link.c_str()), 0);
    SettingsFileError error;
    ASSERT_TRUE(SaveSettingsFile(link, WordMap{{0, 0x4242}}, error)) << error.step;
    EXPECT_TRUE(fs::is_symlink(link)) << "the link stays a link";
    EXPECT_EQ(fs::status(target).permissions(), fs::perms(0640));
    WordMap words;
    ASSERT_TRUE(LoadSettingsFile(target, words, error));
    EXPECT_EQ(words[0], 0x4242);
    EXPECT_EQ(std::distance(fs::directory_iterator(home.Path()), fs::directory_iterator{}), 2)
        << "no temporary file is left behind";

    // The process's own /proc directory takes no new files, not even from root.
    EXPECT_FALSE(SaveSettingsFile("/proc/self/settings.046", WordMap{}, error));
    EXPECT_EQ(error.kind, Kind::System);
    EXPECT_EQ(error.step, "open()");
    EXPECT_NE(error.error, 0);
}

}  // namespace
