#include "TolvaneFrame.h"

#include <fcntl.h>
#include <unistd.h>
#include <wx/filedlg.h>
#include <wx/icon.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "../../data/tolvane.xpm"
#include "Dev.h"
#include "Mes.h"
#include "PackV7.h"
#include "ServiceTab.h"
#include "TolvaneApp.h"
#include "Xml.h"
#include "wxLoadRes.h"

const wxColour kBackgroundColourHighlighted(255, 165, 0, wxALPHA_OPAQUE);

namespace {

TolvaneFrame::FileChooserFn& FileChooser() {
    static TolvaneFrame::FileChooserFn fn;
    return fn;
}

wxString ChooseFile(wxWindow* parent, bool save) {
    if (FileChooser()) return FileChooser()(parent, save);
    if (save) {
        wxFileDialog dialog(parent, "Testing save", wxEmptyString, "Tolvane.046", "NVRAM files (*.046)|*.046",
                            wxFD_SAVE | wxFD_OVERWRITE_PROMPT);
        if (dialog.ShowModal() != wxID_OK) return wxString();
        return dialog.GetPath();
    }
    return wxFileSelector("Select the file to load", wxEmptyString, wxEmptyString, wxEmptyString,
                          "NVRAM files (*.046)|*.046", wxFD_OPEN | wxFD_CHANGE_DIR | wxFD_PREVIEW, parent);
}

wxFont TableFont() {
    return wxFont(10, wxFONTFAMILY_ROMAN, wxFONTSTYLE_NORMAL, wxFONTWEIGHT_NORMAL);
}

// Durations of the 16 interval codes, in seconds.
constexpr double kIntervalSeconds[16] = {0, 0.3, 0.4, 0.5, 0.6, 1, 1.5, 2, 3, 4, 6, 8, 10, 12, 16, 25};

// Grid numbers printed beside the check boxes of columns 1..3.
constexpr int kCheckNumberBase[3] = {19, 99, 147};
// First word of columns 1..3; rows 16-31 and 32-39 use the next two words.
constexpr int kCheckWordBase[3] = {9, 14, 17};

constexpr int kFirstIntervalRow = 8;

bool WriteAll(int fd, const unsigned char* p, size_t n) {
    while (n > 0) {
        const ssize_t done = ::write(fd, p, n);
        if (done < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        p += done;
        n -= static_cast<size_t>(done);
    }
    return true;
}

}  // namespace

wxBEGIN_EVENT_TABLE(TolvaneFrame, wxFrame) EVT_MENU(TolvaneFrame::ID_SAVE_FILE,
                                                    TolvaneFrame::OnSaveIntoFileNVRAM)
    EVT_MENU(TolvaneFrame::ID_LOAD_FILE, TolvaneFrame::OnLoadFromFileNVRAM)
        EVT_MENU(wxID_EXIT, TolvaneFrame::OnExit) EVT_MENU(TolvaneFrame::ID_WRITE, TolvaneFrame::OnWriteNVRAM)
            EVT_MENU(TolvaneFrame::ID_DEFAULT, TolvaneFrame::OnDefault)
                EVT_MENU(TolvaneFrame::ID_LAST_SAVED, TolvaneFrame::OnReturnToLastSaved)
                    EVT_MENU(TolvaneFrame::ID_RESTART, TolvaneFrame::OnSendRestart)
                        EVT_COMMAND(wxID_ANY, ID_START_TOLVANE, TolvaneFrame::OnStartTolvane)
                            EVT_COMMAND(wxID_ANY, PACKV5_RECEIVED, TolvaneFrame::OnExistsPack)
                                EVT_COMMAND(wxID_ANY, PACKV7_RECEIVED, TolvaneFrame::OnMngPack)
                                    EVT_COMMAND(wxID_ANY, NO_LINK, TolvaneFrame::OnNoLink) wxEND_EVENT_TABLE()

                                        void TolvaneFrame::SetFileChooserFn(FileChooserFn fn) {
    FileChooser() = std::move(fn);
}

int TolvaneFrame::ProtoVerOfType(int devType) {
    if (devType == CDev::devLB14) return 7;
    if (devType == CDev::devLB11 || devType == CDev::devLB12) return 6;
    if (devType >= 4 && devType <= 9) return 5;
    return 0;
}

TolvaneFrame::TolvaneFrame(const wxString& title) : TolvaneFrame(title, wxGetApp()) {}

TolvaneFrame::TolvaneFrame(const wxString& title, ToolContext& ctx, int protoVer)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(1024, 768),
              wxDEFAULT_FRAME_STYLE | wxSTAY_ON_TOP),
      m_ctx(ctx) {
    if (protoVer < 0) {
        const CDev* dev = ctx.pult.GetDev();
        protoVer = dev ? ProtoVerOfType(dev->Typ()) : 0;
    }
    m_protoVer = protoVer;
    m_defaultsAvailable = ctx.nvramDefaults.size() == static_cast<size_t>(kNvramWords);
    Build();
    QueueEvent(new wxCommandEvent(ID_START_TOLVANE, -1));
}

TolvaneFrame::~TolvaneFrame() {
    // The pages call back into the service page object and the grid handlers: they go first.
    DestroyChildren();
    m_grid = nullptr;
    if (auto* app = dynamic_cast<TolvaneApp*>(wxTheApp); app && app->topWindow == this)
        app->topWindow = nullptr;
}

void TolvaneFrame::Build() {
    SetIcon(wxIcon(tolvane_xpm));
    CreateMenus();

    auto* panel =
        new wxPanel(this, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    auto* frameSizer = new wxBoxSizer(wxVERTICAL);
    frameSizer->Add(panel, 1, wxEXPAND);
    SetSizer(frameSizer);

    m_notebook = new wxNotebook(panel, wxID_ANY, wxDefaultPosition, wxDefaultSize,
                                wxNB_TOP | wxVSCROLL | wxALWAYS_SHOW_SB);
    auto* panelSizer = new wxBoxSizer(wxVERTICAL);
    panelSizer->Add(m_notebook, 1, wxEXPAND);
    panel->SetSizer(panelSizer);

    const wxFont panelFont = panel->GetFont();
    panel->SetFont(TableFont());
    m_service = std::make_unique<ServiceTab>(m_protoVer, m_edited, m_ctx.nvramDefaults,
                                             [this] { CheckButtonsEnabled(); });
    m_notebook->AddPage(m_service->CreateServiceValuesTab(m_notebook), _W_(1806));
    m_notebook->AddPage(CreateConfigTab(m_notebook), _W_(1807));
    panel->SetFont(panelFont);

    Layout();
    Centre();
}

void TolvaneFrame::CreateMenus() {
    auto* file = new wxMenu;
    file->Append(ID_SAVE_FILE, _W_(1121));
    file->Append(ID_LOAD_FILE, _W_(1122));
    file->AppendSeparator();
    file->Append(wxID_EXIT, _W_(1123));

    auto* func = new wxMenu;
    m_itemWrite = func->Append(ID_WRITE, _W_(1110));
    func->AppendSeparator();
    m_itemDefault = func->Append(ID_DEFAULT, _W_(1107));
    m_itemLastSaved = func->Append(ID_LAST_SAVED, _W_(1109));
    func->AppendSeparator();
    m_itemRestart = func->Append(ID_RESTART, _W_(1108));

    auto* bar = new wxMenuBar;
    bar->Append(file, _W_(1120));
    bar->Append(func, _W_(1125));
    SetMenuBar(bar);
}

// ---- Configuration grid ----------------------------------------------------------------

int TolvaneFrame::CheckWord(int col, int row) {
    return kCheckWordBase[col - 1] + row / 16;
}

int TolvaneFrame::IntervalWord(int row) {
    // Rows 8-31 fill words 22-27; rows 32-39 skip the two words between them.
    return row < 32 ? 22 + (row - kFirstIntervalRow) / 4 : 24 + (row - kFirstIntervalRow) / 4;
}

wxArrayString TolvaneFrame::TimeChoices(int scale) {
    wxArrayString list;
    const wxString unit = _W_(1570);
    for (double seconds : kIntervalSeconds) list.Add(wxString::Format("%g", seconds * scale) + " " + unit);
    return list;
}

wxArrayString TolvaneFrame::ChoicesForRow(int row) {
    if (row == 10) return TimeChoices(10);
    if (row == 11) return TimeChoices(100);
    return TimeChoices(1);
}

wxWindow* TolvaneFrame::CreateConfigTab(wxNotebook* notebook) {
    auto* panel =
        new wxPanel(notebook, wxID_ANY, wxDefaultPosition, wxDefaultSize, wxTAB_TRAVERSAL | wxNO_BORDER);
    m_grid = new wxGrid(panel, ID_GRID, wxDefaultPosition, wxDefaultSize, wxWANTS_CHARS);
    const int rows = m_protoVer >= 6 ? kRowsV6 : kRowsV5;
    m_grid->CreateGrid(rows, 5, wxGrid::wxGridSelectCells);

    const wxFont font = TableFont();
    m_grid->SetDefaultCellFont(font);
    m_grid->SetLabelFont(font);
    m_grid->SetDefaultRenderer(new wxGridCellAutoWrapStringRenderer);
    m_grid->SetDefaultCellAlignment(wxALIGN_LEFT, wxALIGN_CENTRE);
    m_grid->SetRowLabelSize(20);
    for (int c = 0; c < 5; ++c) m_grid->SetColLabelValue(c, _W_(1801 + c));

    for (int r = 0; r < rows; ++r) {
        m_grid->SetCellValue(r, 0, _W_(1919 + r));
        m_grid->SetReadOnly(r, 0);
        for (int c = 1; c <= 3; ++c) {
            m_grid->SetCellRenderer(
                r, c, new GridCellBoolWithStrRenderer(wxString::Format("%d", kCheckNumberBase[c - 1] + r)));
            m_grid->SetCellEditor(r, c, new wxGridCellBoolEditor);
        }
        if (r >= kFirstIntervalRow) {
            const wxArrayString choices = ChoicesForRow(r);
            m_grid->SetCellEditor(r, 4, new GridComboBox(choices));
            m_grid->SetCellValue(r, 4, choices[0]);
        } else {
            m_grid->SetReadOnly(r, 4);
        }
    }
    m_grid->AutoSizeColumns();
    m_grid->AutoSizeRows();
    m_grid->DisableDragColSize();
    m_grid->DisableDragRowSize();

    m_grid->Bind(wxEVT_GRID_CELL_LEFT_CLICK, &TolvaneFrame::OnCellLeftClick, this);
    m_grid->Bind(wxEVT_GRID_CELL_CHANGED, &TolvaneFrame::OnConfigTabCellChanged, this);

    auto* sizer = new wxBoxSizer(wxVERTICAL);
    sizer->Add(m_grid, 1, wxEXPAND);
    panel->SetSizer(sizer);
    return panel;
}

void TolvaneFrame::ValueChanged(wxGrid* grid, int row, int col) {
    grid->GetEventHandler()->QueueEvent(
        new wxGridEvent(grid->GetId(), wxEVT_GRID_CELL_CHANGED, grid, row, col));
}

void TolvaneFrame::SetNVRAM(const WordMap& words) {
    m_service->SetNVRAM(words);
    if (m_grid) {
        const int rows = m_grid->GetNumberRows();
        for (int c = 1; c <= 3; ++c) {
            for (int r = 0; r < rows; ++r) {
                m_grid->SetCellValue(r, c, GetWordBit(words, CheckWord(c, r), r % 16) ? "1" : "");
                ValueChanged(m_grid, r, c);
            }
        }
        for (int r = kFirstIntervalRow; r < rows; ++r) {
            const unsigned i = GetWordField(words, IntervalWord(r), IntervalShift(r), 4);
            m_grid->SetCellValue(r, 4, ChoicesForRow(r)[i]);
            ValueChanged(m_grid, r, 4);
        }
    }
    CheckDefault();
    CheckButtonsEnabled();
}

void TolvaneFrame::CheckDefault() {
    m_service->CheckDefault();
}

void TolvaneFrame::OnCellLeftClick(wxGridEvent& event) {
    const int r = event.GetRow();
    const int c = event.GetCol();
    wxGridCellEditor* editor = m_grid->GetCellEditor(r, c);
    const bool isBool = dynamic_cast<wxGridCellBoolEditor*>(editor) != nullptr;
    const bool isCombo = dynamic_cast<GridComboBox*>(editor) != nullptr;
    editor->DecRef();

    if (isBool && !m_grid->IsReadOnly(r, c)) {
        m_grid->SetCellValue(r, c, m_grid->GetCellValue(r, c) == "1" ? "0" : "1");
        ValueChanged(m_grid, r, c);
    } else if (isCombo) {
        m_grid->SetGridCursor(r, c);
        m_grid->EnableCellEditControl();
    }
    m_grid->ClearSelection();
    m_grid->ForceRefresh();
}

void TolvaneFrame::PaintCheckCell(int row, int col) {
    const bool on = m_grid->GetCellValue(row, col) == "1";
    const bool def = GetWordBit(m_ctx.nvramDefaults, CheckWord(col, row), row % 16);
    m_grid->SetCellBackgroundColour(
        row, col,
        on != def ? kBackgroundColourHighlighted : wxSystemSettings::GetColour(wxSYS_COLOUR_DESKTOP));
}

void TolvaneFrame::OnConfigTabCellChanged(wxGridEvent& event) {
    const int r = event.GetRow();
    const int c = event.GetCol();
    if (!m_grid || r < 0 || r >= m_grid->GetNumberRows()) return;

    if (c >= 1 && c <= 3) {
        const bool on = m_grid->GetCellValue(r, c) == "1";
        SetWordBit(m_edited, CheckWord(c, r), r % 16, on);
        if (c == 3) {
            // A state that may switch the power off is always a trigger state.
            if (on) {
                m_grid->SetCellValue(r, 2, "1");
                m_grid->SetReadOnly(r, 2, true);
                ValueChanged(m_grid, r, 2);
            } else {
                m_grid->SetReadOnly(r, 2, false);
            }
        }
        if (m_defaultsAvailable) PaintCheckCell(r, c);
    } else if (c == 4 && r >= kFirstIntervalRow) {
        wxGridCellEditor* editor = m_grid->GetCellEditor(r, c);
        const auto* combo = dynamic_cast<GridComboBox*>(editor);
        const int i = combo ? combo->GetIndex(m_grid->GetCellValue(r, c)) : wxNOT_FOUND;
        editor->DecRef();
        if (i != wxNOT_FOUND) {
            const int w = IntervalWord(r);
            const int s = IntervalShift(r);
            SetWordField(m_edited, w, s, 4, static_cast<unsigned>(i));
            if (m_defaultsAvailable) {
                const bool differs = static_cast<unsigned>(i) != GetWordField(m_ctx.nvramDefaults, w, s, 4);
                m_grid->SetCellBackgroundColour(r, c,
                                                differs ? kBackgroundColourHighlighted
                                                        : wxSystemSettings::GetColour(wxSYS_COLOUR_DESKTOP));
            }
        }
    }
    m_grid->ClearSelection();
    m_grid->ForceRefresh();
    CheckButtonsEnabled();
}

// ---- Words and menu state ----------------------------------------------------------------

uint16_t TolvaneFrame::NormalizeWordForCompare(int w, uint16_t value) const {
    // Newer units report "no negative floors" as 0xFF in the low byte of word 7.
    if (w == 7 && m_protoVer >= 6 && (value & 0xFF) == 0xFF) return static_cast<uint16_t>(value & 0xFF00);
    return value;
}

bool TolvaneFrame::AreWordsEquivalent(const WordMap& a, const WordMap& b) const {
    for (const auto& [k, v] : a) {
        if (NormalizeWordForCompare(k, v) != NormalizeWordForCompare(k, GetWord(b, k))) return false;
    }
    for (const auto& [k, v] : b) {
        if (!a.count(k) && NormalizeWordForCompare(k, v) != 0) return false;
    }
    return true;
}

void TolvaneFrame::CheckButtonsEnabled() {
    if (!m_itemDefault || !m_itemLastSaved || !m_itemWrite) return;
    m_itemDefault->Enable(m_defaultsAvailable && !AreWordsEquivalent(m_edited, m_ctx.nvramDefaults));
    const bool changed = !AreWordsEquivalent(m_edited, m_ctx.nvramRead);
    m_itemLastSaved->Enable(changed);
    m_itemWrite->Enable(changed);
    if (m_itemRestart) m_itemRestart->Enable(true);
}

// ---- Commands ----------------------------------------------------------------------------

void TolvaneFrame::OnStartTolvane(wxCommandEvent& /*event*/) {
    if (m_ctx.nvramRead.size() != static_cast<size_t>(kNvramWords)) {
        Close(true);
        return;
    }
    m_edited = m_ctx.nvramRead;
    SetNVRAM(m_edited);
    CheckButtonsEnabled();
}

void TolvaneFrame::OnDefault(wxCommandEvent& /*event*/) {
    if (!m_defaultsAvailable) return;
    m_edited = m_ctx.nvramDefaults;
    SetNVRAM(m_edited);
}

void TolvaneFrame::OnReturnToLastSaved(wxCommandEvent& /*event*/) {
    m_edited = m_ctx.nvramRead;
    SetNVRAM(m_edited);
}

void TolvaneFrame::OnWriteNVRAM(wxCommandEvent& /*event*/) {
    WordMap& read = m_ctx.nvramRead;
    // A word the editor lacks reads as 0 and must reach the unit as 0 too, or nvramRead
    // would claim a value the unit does not hold.
    std::set<int> words;
    for (const auto& entry : m_edited) words.insert(entry.first);
    for (const auto& entry : read) words.insert(entry.first);

    for (int w : words) {
        const uint16_t oldValue = GetWord(read, w);
        const uint16_t newValue = GetWord(m_edited, w);
        if ((oldValue & 0xFF) != (newValue & 0xFF))
            SendRequestSaveNVRAM(2 * w, static_cast<unsigned char>(newValue & 0xFF));
        if ((oldValue >> 8) != (newValue >> 8))
            SendRequestSaveNVRAM(2 * w + 1, static_cast<unsigned char>(newValue >> 8));
    }
    m_beforeWrite = read;
    read = m_edited;
    m_awaitingWriteConfirm = true;
    CheckDefault();
    CheckButtonsEnabled();
}

void TolvaneFrame::SendRequestSaveNVRAM(int address, unsigned char value) {
    const auto request = LuByteWriteRequest(address, value);
    if (!request) {
        LogError(
            wxString::Format("TolvaneFrame::SendRequestSaveNVRAM(): byte address %d out of range", address),
            0);
        return;
    }
    SendRequest(*request);
}

void TolvaneFrame::OnSendRestart(wxCommandEvent& /*event*/) {
    SendRequest(LuRestartRequest());
}

void TolvaneFrame::SendRequest(const LuRequest& r) {
    if (m_requestSink) {
        m_requestSink(r);
        return;
    }
    CDev* dev = m_ctx.pult.GetDev();
    if (!dev || !dev->AddMes(r)) {
        LogError("TolvaneFrame::SendRequest(): the request could not be queued", 0);
        return;
    }
    dev->Put();
}

void TolvaneFrame::OnExit(wxCommandEvent& /*event*/) {
    Destroy();
}

// ---- Answers from the unit ---------------------------------------------------------------

void TolvaneFrame::MngMsg(const CMes& m) {
    if (m.typ != CMes::mesDevAnswer || m.ask != CMes::askLbNVRAM || !m_awaitingWriteConfirm) return;
    m_awaitingWriteConfirm = false;
    if (m.IsGood()) {
        TolvaneMessageBox(_W_(1111), wxMessageBoxCaptionStr, wxOK | wxCENTRE, this);
        return;
    }
    // The unit refused the write: the words it holds are the ones from before, so the
    // editor must offer the write again rather than count it as saved.
    m_ctx.nvramRead = m_beforeWrite;
    CheckDefault();
    CheckButtonsEnabled();
    TolvaneMessageBox(_W_(1112), App, wxOK | wxCENTRE | wxICON_ERROR, this);
}

void TolvaneFrame::OnExistsPack(wxCommandEvent& /*event*/) {
    CPackMes pack;
    while (m_ctx.inpMes.Read(pack)) {
        pack.UnPack();
        if (!pack.IsValid() || pack.pultNo != m_ctx.pultNum) continue;
        CMes m;
        while (pack.GetMes(m)) {
            if (m.typ != CMes::mesDevAnswer) continue;
            const bool fromUnit =
                m.origNode == m_ctx.umNum && m.origSub == m_ctx.slotNum && m.dev == m_ctx.devAddr;
            if (fromUnit || m_ctx.codLift >= 1) MngMsg(m);
        }
    }
}

bool TolvaneFrame::IsRefusalForUs(const CPackV7& p, const CIdentV7& own, int v7Id) {
    if (p.GetClass() != CPackV7::classLink || p.GetTyp() != CPackV7::typRefuse || p.GetLength() < 14 ||
        p.GetBuf()[13] != 1)
        return false;
    if (p.GetLength() < 22) return true;
    // The long form names the refused program and the refusing unit.
    CIdentV7 program;
    CIdentV7 unit;
    program.SetValue(p.GetBuf() + 14);
    unit.SetValue(p.GetBuf() + 18);
    return program.GetNode() == own.GetNode() && unit.GetNode() == v7Id;
}

void TolvaneFrame::StopV7Link() {
    m_ctx.sendV7.Stop();
    m_ctx.receivV7.Stop();
}

void TolvaneFrame::HandleV7Packet(const CPackV7& p, bool& destroy) {
    if (p.GetClass() == CPackV7::classData && p.GetTyp() == CPackV7::typMes) {
        CMes m;
        if (p.GetMes(m)) MngMsg(m);
        return;
    }
    if (IsRefusalForUs(p, m_ctx.receivV7.GetIdent(), m_ctx.v7Id)) {
        StopV7Link();
        TolvaneMessageBox(_W_(1105), App, wxOK | wxICON_ERROR, this);
        destroy = true;
    }
}

void TolvaneFrame::OnMngPack(wxCommandEvent& /*event*/) {
    CPackV7 p;
    bool destroy = false;
    while (m_ctx.inpV7.Read(p)) {
        // Once the window is going, the rest of the queue is only emptied.
        if (destroy) continue;
        try {
            HandleV7Packet(p, destroy);
        } catch (const ErrorXML& e) {
            m_ctx.badLog.PutErr(e.Text().c_str(), e.Number(), true);
            destroy = true;
        }
    }
    if (destroy && !IsBeingDeleted()) Destroy();
}

void TolvaneFrame::OnNoLink(wxCommandEvent& /*event*/) {
    if (IsBeingDeleted()) return;
    StopV7Link();
    TolvaneMessageBox(_W_(1106), App, wxOK | wxICON_ERROR, this);
    Destroy();
}

// ---- Settings file -----------------------------------------------------------------------

void TolvaneFrame::LogError(const wxString& text, int error) {
    if (error)
        m_ctx.badLog.PutErr(text.wc_str(), error, false);
    else
        m_ctx.badLog.Put(text.ToStdWstring(), false);
}

void TolvaneFrame::ShowErrorBox(const wxString& text) {
    TolvaneMessageBox(text, App, wxOK | wxICON_ERROR | wxCENTRE, this);
}

void TolvaneFrame::OnSaveIntoFileNVRAM(wxCommandEvent& /*event*/) {
    const wxString path = ChooseFile(this, true);
    if (!path.empty()) SaveIntoFile(path);
}

void TolvaneFrame::OnLoadFromFileNVRAM(wxCommandEvent& /*event*/) {
    const wxString path = ChooseFile(this, false);
    if (!path.empty()) LoadFromFile(path);
}

bool TolvaneFrame::SaveIntoFile(const wxString& path) {
    // Word k always sits at offset 2k: a missing word is written as 0 rather than
    // shifting the words behind it.
    unsigned char image[kSettingsFileBytes];
    for (int k = 0; k < kNvramWords; ++k) {
        image[2 * k] = GetLowByte(m_ctx.nvramRead, k);
        image[2 * k + 1] = GetHighByte(m_ctx.nvramRead, k);
    }

    const std::string target(path.fn_str());
    // The image goes to a file beside the target first, so a failed write never leaves
    // the user's settings file cut short.
    const std::string temp = target + "." + std::to_string(::getpid()) + ".tmp";
    const char* step = "open()";
    int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0 && errno == EEXIST) {
        ::unlink(temp.c_str());
        fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    }
    bool ok = fd >= 0;
    int error = ok ? 0 : errno;
    if (ok && !WriteAll(fd, image, sizeof image)) {
        step = "write()";
        error = errno;
        ok = false;
    }
    if (ok && ::fsync(fd) != 0) {
        step = "fsync()";
        error = errno;
        ok = false;
    }
    if (fd >= 0 && ::close(fd) != 0 && ok) {
        step = "close()";
        error = errno;
        ok = false;
    }
    if (ok && ::rename(temp.c_str(), target.c_str()) != 0) {
        step = "rename()";
        error = errno;
        ok = false;
    }
    if (ok) return true;

    if (fd >= 0) ::unlink(temp.c_str());
    LogError(wxString::Format("TolvaneFrame::SaveIntoFile(): %s %s", step, path), error);
    ShowErrorBox(path + ": " + wxString(std::strerror(error)));
    return false;
}

bool TolvaneFrame::LoadFromFile(const wxString& path) {
    const std::string name(path.fn_str());
    const int fd = ::open(name.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        LogError(wxString::Format("TolvaneFrame::LoadFromFile(): open() %s", path), errno);
        return false;
    }
    std::vector<unsigned char> bytes;
    unsigned char buffer[4096];
    int error = 0;
    for (;;) {
        const ssize_t n = ::read(fd, buffer, sizeof buffer);
        if (n < 0) {
            if (errno == EINTR) continue;
            error = errno;
            break;
        }
        if (n == 0) break;
        bytes.insert(bytes.end(), buffer, buffer + n);
    }
    ::close(fd);
    if (error) {
        LogError(wxString::Format("TolvaneFrame::LoadFromFile(): read() %s", path), error);
        return false;
    }
    if (bytes.size() != static_cast<size_t>(kSettingsFileBytes)) {
        LogError(wxString::Format("TolvaneFrame::LoadFromFile(): %s holds %zu bytes, a settings file %d",
                                  path, bytes.size(), kSettingsFileBytes),
                 0);
    }

    // Only the unit's 32 words are taken; a short file leaves the rest at 0, which is
    // what a missing word means everywhere else.
    m_edited.clear();
    for (int k = 0; k < kNvramWords; ++k) {
        const size_t at = 2 * static_cast<size_t>(k);
        const uint16_t value =
            at + 1 < bytes.size() ? static_cast<uint16_t>(bytes[at] | (bytes[at + 1] << 8)) : 0;
        m_edited[k] = value;
    }
    SetNVRAM(m_edited);
    return true;
}
