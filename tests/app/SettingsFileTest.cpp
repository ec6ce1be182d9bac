// The ".046" settings file of the main window: what "Save" writes, what "Load" takes, and how
// failures reach the user and the error log.

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <wx/weakref.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "AppTestUtil.h"
#include "GridUtils.h"
#include "LoadRes.h"
#include "NvRam.h"
#include "TolvaneFrame.h"

using namespace std::chrono_literals;
namespace fs = std::filesystem;

namespace {

std::vector<unsigned char> ReadBytes(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return std::vector<unsigned char>(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

void WriteBytes(const std::string& path, const std::vector<unsigned char>& bytes) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

std::vector<unsigned char> Image(const WordMap& words, size_t length) {
    std::vector<unsigned char> bytes(length);
    for (size_t i = 0; i < length; ++i)
        bytes[i] = i % 2 == 0 ? GetLowByte(words, static_cast<int>(i / 2))
                              : GetHighByte(words, static_cast<int>(i / 2));
    return bytes;
}

class SettingsFileTest : public ::testing::Test {
protected:
    void SetUp() override {
        ResetApp();
        g_StringENU = true;
        ClearShownBoxes();
        TestApp().badLog.Open("C", "log");
        dir = home.Path() + "/files";
        fs::create_directories(dir);
        read = SampleWords(21);
        TolvaneApp& app = TestApp();
        app.nvramRead = read;
        app.nvramDefaults = read;
        frame = new TolvaneFrame("Tolvane test", app, 7);
        frame->SetRequestSink([this](const LuRequest& r) { requests.push_back(r); });
        Settle();
    }

    void TearDown() override {
        TolvaneFrame::SetFileChooserFn({});
        if (frame) frame->Destroy();
        PumpUntil([this] { return !frame; }, 3s);
        ResetApp();
    }

    static void Settle() {
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
    }

    // The error log's lines so far (the log is closed and opened again to flush it).
    std::vector<std::string> ErrorLog() {
        TestApp().badLog.Close();
        auto lines = ReadLogTexts(home.BadLogDir());
        TestApp().badLog.Open("C", "log");
        return lines;
    }

    static bool Mentions(const std::vector<std::string>& lines, const std::string& a, const std::string& b) {
        for (const std::string& l : lines) {
            if (l.find(a) != std::string::npos && l.find(b) != std::string::npos) return true;
        }
        return false;
    }

    void Choose(const std::string& path) {
        TolvaneFrame::SetFileChooserFn([this, path](wxWindow* parent, bool save) {
            EXPECT_EQ(parent, frame.get());
            lastSave = save;
            return wxString(path);
        });
    }

    void Menu(void (TolvaneFrame::*handler)(wxCommandEvent&)) {
        wxCommandEvent ev;
        (frame.get()->*handler)(ev);
        Settle();
    }

    ScopedHome home;
    std::string dir;
    WordMap read;
    wxWeakRef<TolvaneFrame> frame;
    std::vector<LuRequest> requests;
    bool lastSave = false;
};

TEST_F(SettingsFileTest, SaveWritesTheLastReadWordsNotTheEdits) {
    const std::string path = dir + "/unit.046";
    frame->Edited()[4] ^= 0x00FF;  // not written to the unit: not saved either
    Choose(path);
    Menu(&TolvaneFrame::OnSaveIntoFileNVRAM);
    EXPECT_TRUE(lastSave);

    const auto bytes = ReadBytes(path);
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(bytes, Image(read, 64));
    EXPECT_EQ(bytes[8], GetLowByte(read, 4));
    EXPECT_TRUE(ShownBoxes().empty());
    // Nothing but the file itself is left in the directory.
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

TEST_F(SettingsFileTest, SaveReplacesALongerFileWhole) {
    const std::string path = dir + "/unit.046";
    WriteBytes(path, std::vector<unsigned char>(300, 0xEE));
    ASSERT_TRUE(frame->SaveIntoFile(path));
    EXPECT_EQ(ReadBytes(path), Image(read, 64));
}

TEST_F(SettingsFileTest, SavedAndLoadedWordsAreTheLastSavedOnes) {
    const std::string path = dir + "/unit.046";
    ASSERT_TRUE(frame->SaveIntoFile(path));
    frame->Edited()[9] ^= 0x0F0F;
    frame->Edited()[23] ^= 0x00F0;
    frame->CheckButtonsEnabled();
    ASSERT_TRUE(frame->ItemWrite()->IsEnabled());

    Choose(path);
    Menu(&TolvaneFrame::OnLoadFromFileNVRAM);
    EXPECT_FALSE(lastSave);
    EXPECT_EQ(frame->Edited(), read);
    EXPECT_FALSE(frame->ItemWrite()->IsEnabled());
    EXPECT_FALSE(frame->ItemLastSaved()->IsEnabled());
    EXPECT_EQ(TestApp().nvramRead, read) << "loading changes nothing on the unit side";
    EXPECT_TRUE(requests.empty());
}

TEST_F(SettingsFileTest, LoadedWordsDifferingFromTheUnitAreWrittenByUpdate) {
    WordMap other = read;
    other[20] = static_cast<uint16_t>(read.at(20) ^ 0x8000);  // a word no page shows
    const std::string path = dir + "/other.046";
    WriteBytes(path, Image(other, 64));
    ASSERT_TRUE(frame->LoadFromFile(path));
    Settle();
    EXPECT_EQ(frame->Edited(), other);
    ASSERT_TRUE(frame->ItemWrite()->IsEnabled());

    Menu(&TolvaneFrame::OnWriteNVRAM);
    ASSERT_EQ(requests.size(), 1u);
    unsigned char units[4];
    LbNvramWriteUnits(41, static_cast<unsigned char>(other[20] >> 8), units);
    EXPECT_TRUE(std::equal(units, units + 4, requests[0].units.begin()));
}

TEST_F(SettingsFileTest, OnlyTheUnitsWordsAreLoadedAndAnOddLengthIsLogged) {
    WordMap big = SampleWords(22);
    for (int k = 32; k < 40; ++k) big[k] = static_cast<uint16_t>(0x1111 * (k - 31));
    const std::string path65 = dir + "/odd.046";
    auto bytes = Image(big, 64);
    bytes.push_back(0x77);
    WriteBytes(path65, bytes);
    ASSERT_TRUE(frame->LoadFromFile(path65));
    Settle();
    WordMap first32(big.begin(), big.find(32));
    EXPECT_EQ(frame->Edited(), first32);

    const std::string path80 = dir + "/long.046";
    WriteBytes(path80, Image(big, 80));
    ASSERT_TRUE(frame->LoadFromFile(path80));
    Settle();
    EXPECT_EQ(frame->Edited(), first32) << "words 32 and up have no place in the unit";
    Menu(&TolvaneFrame::OnWriteNVRAM);
    for (const LuRequest& r : requests) {
        // Every request is one of the 64 byte addresses of the unit's words.
        bool known = false;
        for (int a = 0; a < 64 && !known; ++a) {
            for (int v = 0; v < 256 && !known; ++v) {
                unsigned char units[4];
                LbNvramWriteUnits(a, static_cast<unsigned char>(v), units);
                known = std::equal(units, units + 4, r.units.begin());
            }
        }
        EXPECT_TRUE(known);
    }

    const auto log = ErrorLog();
    EXPECT_TRUE(Mentions(log, "odd.046", "65")) << "the length of a file that is no NVRAM image is logged";
    EXPECT_TRUE(Mentions(log, "long.046", "80"));
}

TEST_F(SettingsFileTest, AShortFileGivesZerosForTheMissingWords) {
    const std::string path = dir + "/short.046";
    const WordMap other = SampleWords(23);
    WriteBytes(path, Image(other, 11));  // five words and half a sixth
    ASSERT_TRUE(frame->LoadFromFile(path));
    Settle();
    for (int k = 0; k < 5; ++k) EXPECT_EQ(GetWord(frame->Edited(), k), other.at(k)) << "word " << k;
    // The words of the grid and those no page shows (the service page has encodings of its
    // own for a zero byte).
    for (int k = 9; k < 32; ++k) {
        if (k != 13) {
            EXPECT_EQ(GetWord(frame->Edited(), k), 0) << "word " << k;
        }
    }
    EXPECT_TRUE(Mentions(ErrorLog(), "short.046", "11"));

    const std::string empty = dir + "/empty.046";
    WriteBytes(empty, {});
    ASSERT_TRUE(frame->LoadFromFile(empty));
    Settle();
    EXPECT_EQ(GetWord(frame->Edited(), 0), 0);
    EXPECT_EQ(GetWord(frame->Edited(), 22), 0);
    EXPECT_TRUE(frame->ItemWrite()->IsEnabled());
}

TEST_F(SettingsFileTest, AnUnreadableFileChangesNothing) {
    const WordMap before = frame->Edited();
    EXPECT_FALSE(frame->LoadFromFile(dir + "/absent.046"));
    Settle();
    EXPECT_EQ(frame->Edited(), before);

    // Cancelled dialogs do nothing at all.
    Choose("");
    Menu(&TolvaneFrame::OnLoadFromFileNVRAM);
    Menu(&TolvaneFrame::OnSaveIntoFileNVRAM);
    EXPECT_EQ(frame->Edited(), before);
    EXPECT_TRUE(ShownBoxes().empty());
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 0);
}

TEST_F(SettingsFileTest, AFailedSaveIsShownWithTheSystemsReasonAndLogged) {
    const std::string missing = dir + "/no such dir/unit.046";
    EXPECT_FALSE(frame->SaveIntoFile(missing));
    auto boxes = ShownBoxes();
    ASSERT_EQ(boxes.size(), 1u);
    EXPECT_NE(boxes[0].text.Find(wxString(std::strerror(ENOENT))), wxNOT_FOUND) << boxes[0].text;
    EXPECT_TRUE(boxes[0].style & wxICON_ERROR);
    EXPECT_TRUE(Mentions(ErrorLog(), "SaveIntoFile", std::strerror(ENOENT)));

    // A target that cannot be replaced keeps what it was and no temporary file stays behind.
    ClearShownBoxes();
    const std::string blocked = dir + "/blocked.046";
    fs::create_directory(blocked);
    WriteBytes(blocked + "/inside", {1, 2, 3});
    EXPECT_FALSE(frame->SaveIntoFile(blocked));
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_TRUE(fs::is_directory(blocked));
    EXPECT_EQ(ReadBytes(blocked + "/inside"), (std::vector<unsigned char>{1, 2, 3}));
    EXPECT_EQ(std::distance(fs::directory_iterator(dir), fs::directory_iterator()), 1);
}

}  // namespace
