// The main window's "File" menu as a view of the settings file: what reaches the user when a
// file is refused or cannot be written. The file itself is tested without a window in
// tests/structure/SettingsFileTest.cpp.

#include <gtest/gtest.h>
#include <wx/weakref.h>

#include <cstring>
#include <fstream>

#include "AppTestUtil.h"
#include "TolvaneFrame.h"
#include "wxLoadRes.h"

using namespace std::chrono_literals;

namespace {

TEST(SettingsFileMenu, SavesTheLastReadWordsAndRefusesAFileThatIsNoImage) {
    ResetApp();
    g_StringENU = true;
    ScopedHome home;
    TolvaneApp& app = TestApp();
    app.nvramRead = SampleWords(21);
    app.nvramDefaults = app.nvramRead;
    wxWeakRef<TolvaneFrame> frame = new TolvaneFrame("Tolvane test", app, 7);
    PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
    std::string chosen;
    TolvaneFrame::SetFileChooserFn([&](wxWindow*, bool) { return wxString(chosen); });
    auto menu = [&](void (TolvaneFrame::*handler)(wxCommandEvent&)) {
        wxCommandEvent ev;
        (frame.get()->*handler)(ev);
        PumpUntil([] { return !wxTheApp->HasPendingEvents(); }, 3s);
    };

    // An edit not yet written is not what the unit holds: the file gets the words read.
    frame->Edited()[2] ^= 0x0101;
    chosen = home.Path() + "/unit.046";
    menu(&TolvaneFrame::OnSaveIntoFileNVRAM);
    std::ifstream saved(chosen, std::ios::binary);
    std::string bytes((std::istreambuf_iterator<char>(saved)), {});
    ASSERT_EQ(bytes.size(), 64u);
    EXPECT_EQ(static_cast<uint8_t>(bytes[4]), GetLowByte(app.nvramRead, 2));

    // A text file of 140 bytes would have written garbage: it is refused and nothing changes.
    chosen = home.Path() + "/notes.txt";
    std::ofstream(chosen) << std::string(140, 'x');
    const WordMap before = frame->Edited();
    menu(&TolvaneFrame::OnLoadFromFileNVRAM);
    EXPECT_EQ(frame->Edited(), before);
    ASSERT_EQ(ShownBoxes().size(), 2u);
    EXPECT_EQ(ShownBoxes()[0].text, wxString::Format(_W_(1171), 2)) << "first: load over the edit?";
    EXPECT_EQ(ShownBoxes()[1].text, wxString::Format(_W_(1136), chosen, 140LL));

    ClearShownBoxes();
    chosen = "/proc/self/unit.046";
    menu(&TolvaneFrame::OnSaveIntoFileNVRAM);
    ASSERT_EQ(ShownBoxes().size(), 1u);
    EXPECT_EQ(ShownBoxes()[0].text, wxString::Format(_W_(1139), chosen, wxString(std::strerror(ENOENT))));

    TolvaneFrame::SetFileChooserFn({});
    frame->Destroy();
    PumpUntil([&] { return !frame; }, 3s);
    ResetApp();
}

}  // namespace
