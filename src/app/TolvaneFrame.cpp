#include "TolvaneFrame.h"

#include <fcntl.h>
#include <unistd.h>
#include <wx/filedlg.h>
#include <wx/icon.h>
#include <wx/msgdlg.h>
#include <wx/panel.h>
#include <wx/settings.h>
#include <wx/sizer.h>
#include <wx/srchctrl.h>
#include <wx/stattext.h>

#include <cerrno>
#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "../../data/tolvane.xpm"
#include "Dev.h"
#include "Mes.h"
#include "ReviewDialog.h"
#include "ServiceTab.h"
#include "SettingsFile.h"
#include "TolvaneApp.h"
#include "Xml.h"
#include "wxLoadRes.h"

const wxColour kBackgroundColourHighlighted(255, 165, 0, wxALPHA_OPAQUE);
const wxColour kColourPending(0, 64, 192, wxALPHA_OPAQUE);

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

// Grid numbers printed beside the check boxes of columns 1..3.
constexpr int kCheckNumberBase[3] = {19, 99, 147};

constexpr int kFirstIntervalRow = 8;

}  // namespace

// clang-format off
wxBEGIN_EVENT_TABLE(TolvaneFrame, wxFrame)
    EVT_MENU(TolvaneFrame::ID_SAVE_FILE, TolvaneFrame::OnSaveIntoFileNVRAM)
    EVT_MENU(TolvaneFrame::ID_LOAD_FILE, TolvaneFrame::OnLoadFromFileNVRAM)
    EVT_MENU(wxID_EXIT, TolvaneFrame::OnExit)
    EVT_MENU(TolvaneFrame::ID_WRITE, TolvaneFrame::OnWriteNVRAM)
    EVT_MENU(TolvaneFrame::ID_DEFAULT, TolvaneFrame::OnDefault)
    EVT_MENU(TolvaneFrame::ID_LAST_SAVED, TolvaneFrame::OnReturnToLastSaved)
    EVT_MENU(TolvaneFrame::ID_RESTART, TolvaneFrame::OnSendRestart)
    EVT_COMMAND(wxID_ANY, ID_START_TOLVANE, TolvaneFrame::OnStartTolvane)
    EVT_COMMAND(wxID_ANY, PACKV5_RECEIVED, TolvaneFrame::OnExistsPack)
    EVT_COMMAND(wxID_ANY, PACKV7_RECEIVED, TolvaneFrame::OnMngPack)
    EVT_COMMAND(wxID_ANY, NO_LINK, TolvaneFrame::OnNoLink)
    EVT_TIMER(TolvaneFrame::ID_SESSION_TIMER, TolvaneFrame::OnSessionTimer)
    EVT_CLOSE(TolvaneFrame::OnClose)
wxEND_EVENT_TABLE()
    // clang-format on

    void TolvaneFrame::SetFileChooserFn(FileChooserFn fn) {
    FileChooser() = std::move(fn);
}

TolvaneFrame::TolvaneFrame(const wxString& title) : TolvaneFrame(title, wxGetApp()) {}

TolvaneFrame::TolvaneFrame(const wxString& title, ToolContext& ctx, int protoVer)
    : wxFrame(nullptr, wxID_ANY, title, wxDefaultPosition, wxSize(1024, 768),
              wxDEFAULT_FRAME_STYLE | wxSTAY_ON_TOP),
      m_ctx(ctx),
      m_sessionTimer(this, ID_SESSION_TIMER) {
    if (protoVer < 0) {
        const CDev* dev = ctx.pult.GetDev();
        protoVer = dev ? ::ProtoVerOfType(dev->Typ()) : 0;
    }
    m_protoVer = protoVer;
    m_defaultsAvailable = ctx.nvramDefaults.size() == static_cast<size_t>(kNvramWords);
    Build();
    m_ctx.session.SetListener([this](const UnitEvent& e) { OnSessionEvent(e); });
    QueueEvent(new wxCommandEvent(ID_START_TOLVANE, -1));
}

TolvaneFrame::~TolvaneFrame() {
    m_sessionTimer.Stop();
    m_ctx.session.SetListener({});
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
    panelSizer->Add(CreateTopBar(panel), 0, wxEXPAND | wxALL, FromDIP(4));
    panelSizer->Add(m_notebook, 1, wxEXPAND);
    panel->SetSizer(panelSizer);

    const wxFont panelFont = panel->GetFont();
    panel->SetFont(TableFont());
    m_service = std::make_unique<ServiceTab>(m_protoVer, m_edited, m_ctx.nvramDefaults, m_ctx.nvramRead,
                                             [this] { CheckButtonsEnabled(); });
    m_notebook->AddPage(m_service->CreateServiceValuesTab(m_notebook), _W_(1806));
    if (m_protoVer == 0) m_service->ShowNoLayout(NoLayoutText());
    m_notebook->AddPage(CreateConfigTab(m_notebook), _W_(1807));
    panel->SetFont(panelFont);

    CreateStatusBar(kStatusFields);
    const int widths[kStatusFields] = {-3, -2, -2};
    SetStatusWidths(kStatusFields, widths);
    SetStatusText(GetTitle(), kStatusUnit);

    SetMinSize(FromDIP(wxSize(800, 600)));
    Layout();
    Centre();
}

wxWindow* TolvaneFrame::CreateTopBar(wxWindow* parent) {
    auto* bar = new wxPanel(parent);
    auto* sizer = new wxBoxSizer(wxHORIZONTAL);
    m_search = new wxSearchCtrl(bar, wxID_ANY, wxEmptyString, wxDefaultPosition, FromDIP(wxSize(240, -1)),
                                wxTE_PROCESS_ENTER);
    m_search->SetDescriptiveText(_W_(1176));
    m_search->Bind(wxEVT_SEARCH, [this](wxCommandEvent& e) { Search(e.GetString(), true); });
    m_search->Bind(wxEVT_TEXT, [this](wxCommandEvent& e) { Search(e.GetString(), false); });
    sizer->Add(m_search, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, FromDIP(16));
    // The legend: what the two marks mean, each beside a sample of itself.
    auto* defaults = new wxStaticText(bar, wxID_ANY, " " + _W_(1174) + " ");
    defaults->SetBackgroundColour(kBackgroundColourHighlighted);
    auto* pending = new wxStaticText(bar, wxID_ANY, _W_(1175));
    pending->SetForegroundColour(kColourPending);
    pending->SetFont(pending->GetFont().Bold());
    sizer->Add(defaults, 0, wxALIGN_CENTER_VERTICAL | wxRIGHT, FromDIP(12));
    sizer->Add(pending, 0, wxALIGN_CENTER_VERTICAL);
    bar->SetSizer(sizer);
    return bar;
}

wxString TolvaneFrame::NoLayoutText() const {
    const CDev* dev = m_ctx.pult.GetDev();
    const DBString name = dev != nullptr ? dev->TypLB() : DBString();
    const wxString shown = name.empty() ? wxString() : " (" + wxString(name.c_str(), name.size()) + ")";
    return wxString::Format(_W_(1185), dev != nullptr ? static_cast<int>(dev->Typ()) : 0, shown);
}

void TolvaneFrame::Search(const wxString& text, bool next) {
    const wxString wanted = text.Lower().Trim().Trim(false);
    if (wanted.empty()) return;
    // Enter moves on to the next match; typing finds the first.
    std::vector<const ParamDef*> all = AllParams(m_protoVer);
    const size_t count = all.size();
    const size_t start = next ? m_searchAt + 1 : 0;
    for (size_t k = 0; k < count; ++k) {
        const size_t i = (start + k) % count;
        const DBString label = all[i]->Label();
        if (wxString(label.c_str(), label.size()).Lower().find(wanted) == wxString::npos) continue;
        m_searchAt = i;
        ShowParam(*all[i]);
        return;
    }
}

void TolvaneFrame::ShowParam(const ParamDef& p) {
    if (p.gridRow >= 0 && m_grid != nullptr) {
        m_notebook->SetSelection(1);
        m_grid->MakeCellVisible(p.gridRow, p.gridCol);
        m_grid->SelectBlock(p.gridRow, 0, p.gridRow, m_grid->GetNumberCols() - 1);
        return;
    }
    m_notebook->SetSelection(0);
    m_service->Reveal(p.pageLabel);
}

namespace {

// A menu label on one line (the texts of the buttons they once were break theirs), with its
// mnemonic before `letter` (or before the first letter) and its shortcut.
wxString MenuLabel(int text, wxChar letter = 0, const char* shortcut = nullptr) {
    wxString label = _W_(text);
    label.Replace("\n", " ");
    while (label.Replace("  ", " ") > 0) {
    }
    size_t at = 0;
    if (letter != 0) {
        const size_t found = label.Lower().find(wxString(letter).Lower());
        if (found != wxString::npos) at = found;
    }
    label.insert(at, "&");
    if (shortcut != nullptr) label += wxString("\t") + shortcut;
    return label;
}

}  // namespace

void TolvaneFrame::CreateMenus() {
    auto* file = new wxMenu;
    file->Append(ID_SAVE_FILE, MenuLabel(1121, 's', "Ctrl+S"));
    file->Append(ID_LOAD_FILE, MenuLabel(1122, 'l', "Ctrl+O"));
    file->AppendSeparator();
    file->Append(wxID_EXIT, MenuLabel(1123, 'x', "Ctrl+Q"));

    auto* func = new wxMenu;
    m_itemWrite = func->Append(ID_WRITE, MenuLabel(1110, 'u', "Ctrl+U"));
    func->AppendSeparator();
    m_itemDefault = func->Append(ID_DEFAULT, MenuLabel(1107, 'd'));
    m_itemLastSaved = func->Append(ID_LAST_SAVED, MenuLabel(1109, 'r', "F5"));
    func->AppendSeparator();
    m_itemRestart = func->Append(ID_RESTART, MenuLabel(1108, 'i'));

    auto* bar = new wxMenuBar;
    bar->Append(file, MenuLabel(1120, 'f'));
    bar->Append(func, MenuLabel(1125, 'u'));
    SetMenuBar(bar);
}

// ---- Configuration grid ----------------------------------------------------------------

const ParamDef* TolvaneFrame::GridParam(int row, int col) const {
    for (const ParamDef& p : GridParams(m_protoVer))
        if (p.gridRow == row && p.gridCol == col) return &p;
    return nullptr;
}

wxArrayString TolvaneFrame::ChoicesForRow(int row) {
    wxArrayString list;
    for (const DBString& t : NvramCodec::IntervalChoices(row == 10 ? 10 : row == 11 ? 100 : 1))
        list.Add(wxString(t.c_str(), t.size()));
    return list;
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

    // The headings have two lines; the label row is as high as both.
    m_grid->SetColLabelSize(2 * m_grid->GetCharHeight() + FromDIP(8));
    m_grid->GetGridWindow()->Bind(wxEVT_MOTION, &TolvaneFrame::OnGridMotion, this);
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
        // Columns 1-3 of every row first, then the intervals, each cell queueing its change.
        for (int pass = 0; pass < 2; ++pass) {
            for (const ParamDef& p : GridParams(m_protoVer)) {
                if ((p.gridCol == 4) != (pass == 1) || p.gridRow >= m_grid->GetNumberRows()) continue;
                const unsigned raw = p.Raw(words);
                m_grid->SetCellValue(
                    p.gridRow, p.gridCol,
                    p.gridCol == 4 ? ChoicesForRow(p.gridRow)[raw] : wxString(raw ? "1" : ""));
                ValueChanged(m_grid, p.gridRow, p.gridCol);
            }
        }
    }
    CheckDefault();
    CheckButtonsEnabled();
}

void TolvaneFrame::CheckDefault() {
    m_service->CheckDefault();
    PaintGrid();
}

void TolvaneFrame::OnCellLeftClick(wxGridEvent& event) {
    const int r = event.GetRow();
    const int c = event.GetCol();
    wxGridCellEditor* editor = m_grid->GetCellEditor(r, c);
    const bool isBool = dynamic_cast<wxGridCellBoolEditor*>(editor) != nullptr;
    const bool isCombo = dynamic_cast<GridComboBox*>(editor) != nullptr;
    editor->DecRef();

    if (isBool && !m_grid->IsReadOnly(r, c)) {
        const bool on = m_grid->GetCellValue(r, c) != "1";
        m_grid->SetCellValue(r, c, on ? "1" : "0");
        ValueChanged(m_grid, r, c);
        // A state that may switch the power off is always a trigger state. Only the user's
        // click couples them: showing the unit's words must never change them.
        if (c == 3 && on && m_grid->GetCellValue(r, 2) != "1") {
            m_grid->SetCellValue(r, 2, "1");
            ValueChanged(m_grid, r, 2);
        }
    } else if (isCombo) {
        m_grid->SetGridCursor(r, c);
        m_grid->EnableCellEditControl();
    }
    m_grid->ClearSelection();
    m_grid->ForceRefresh();
}

void TolvaneFrame::PaintCell(int row, int col) {
    const ParamDef* p = GridParam(row, col);
    if (p == nullptr) return;
    const unsigned value = p->Raw(m_edited);
    const bool differs = m_defaultsAvailable && value != p->Raw(m_ctx.nvramDefaults);
    const bool pending = value != p->Raw(m_ctx.nvramRead);
    m_grid->SetCellBackgroundColour(
        row, col, differs ? kBackgroundColourHighlighted : wxSystemSettings::GetColour(wxSYS_COLOUR_DESKTOP));
    m_grid->SetCellTextColour(
        row, col, pending ? kColourPending : wxSystemSettings::GetColour(wxSYS_COLOUR_WINDOWTEXT));
    const wxFont font = TableFont();
    m_grid->SetCellFont(row, col, pending ? font.Bold() : font);
}

void TolvaneFrame::PaintGrid() {
    if (m_grid == nullptr) return;
    for (const ParamDef& p : GridParams(m_protoVer))
        if (p.gridRow < m_grid->GetNumberRows()) PaintCell(p.gridRow, p.gridCol);
    m_grid->ForceRefresh();
}

wxString TolvaneFrame::CellTip(int row, int col) const {
    const ParamDef* p = GridParam(row, col);
    if (p == nullptr) return wxString();
    const DBString label = p->Label();
    const wxString where = p->width == 1
                               ? wxString::Format(_W_(1178), p->word, p->shift)
                               : wxString::Format(_W_(1177), p->word, p->shift, p->shift + p->width - 1);
    const wxString raw = wxString::Format("0x%X", p->Raw(m_edited));
    const wxString def =
        m_defaultsAvailable ? wxString::Format("0x%X", p->Raw(m_ctx.nvramDefaults)) : _W_(1180);
    return wxString(label.c_str(), label.size()) + "\n" + where + "\n" +
           wxString::Format(_W_(1179), raw, def);
}

void TolvaneFrame::OnGridMotion(wxMouseEvent& event) {
    event.Skip();
    const wxPoint at = m_grid->CalcUnscrolledPosition(event.GetPosition());
    const int row = m_grid->YToRow(at.y);
    const int col = m_grid->XToCol(at.x);
    const wxString tip = CellTip(row, col);
    wxWindow* w = m_grid->GetGridWindow();
    if (w->GetToolTipText() != tip) w->SetToolTip(tip);
}

void TolvaneFrame::OnConfigTabCellChanged(wxGridEvent& event) {
    const int r = event.GetRow();
    const int c = event.GetCol();
    if (!m_grid || r < 0 || r >= m_grid->GetNumberRows()) return;

    const ParamDef* p = GridParam(r, c);
    if (p != nullptr && c <= 3) {
        const bool on = m_grid->GetCellValue(r, c) == "1";
        p->SetRaw(m_edited, on ? 1 : 0);
        if (c == 3) m_grid->SetReadOnly(r, 2, on);
        PaintCell(r, c);
    } else if (p != nullptr) {
        wxGridCellEditor* editor = m_grid->GetCellEditor(r, c);
        const auto* combo = dynamic_cast<GridComboBox*>(editor);
        const int i = combo ? combo->GetIndex(m_grid->GetCellValue(r, c)) : wxNOT_FOUND;
        editor->DecRef();
        if (i != wxNOT_FOUND) {
            p->SetRaw(m_edited, static_cast<unsigned>(i));
            PaintCell(r, c);
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
    const CUnitSession& session = m_ctx.session;
    m_itemDefault->Enable(m_defaultsAvailable && !AreWordsEquivalent(m_edited, m_ctx.nvramDefaults));
    const bool changed = !AreWordsEquivalent(m_edited, m_ctx.nvramRead);
    m_itemLastSaved->Enable(changed);
    // Writing and restarting need a unit that answers and no write under way.
    m_itemWrite->Enable(changed && session.IsReady());
    if (m_itemRestart) m_itemRestart->Enable(session.IsReady());
    if (GetStatusBar() != nullptr) {
        wxString edits;
        edits.Printf(_W_(1148), PendingBytes());
        SetStatusText(edits, kStatusEdits);
    }
}

int TolvaneFrame::PendingBytes() const {
    // Before its first fill the window holds no edits at all.
    if (!m_filled || AreWordsEquivalent(m_edited, m_ctx.nvramRead)) return 0;
    return static_cast<int>(LuWriteBytes(m_ctx.nvramRead, m_edited).size());
}

// ---- Commands ----------------------------------------------------------------------------

void TolvaneFrame::OnStartTolvane(wxCommandEvent& /*event*/) {
    if (m_ctx.nvramRead.size() != static_cast<size_t>(kNvramWords)) {
        Close(true);
        return;
    }
    m_edited = m_ctx.nvramRead;
    m_filled = true;
    SetNVRAM(m_edited);
    ShowLinkState();
    CheckButtonsEnabled();
    ArmSessionTimer(m_sessionTimer, m_ctx.session);
}

void TolvaneFrame::OnDefault(wxCommandEvent& /*event*/) {
    if (!m_defaultsAvailable) return;
    if (!Confirm(1170)) return;
    m_edited = m_ctx.nvramDefaults;
    SetNVRAM(m_edited);
}

void TolvaneFrame::OnReturnToLastSaved(wxCommandEvent& /*event*/) {
    m_edited = m_ctx.nvramRead;
    SetNVRAM(m_edited);
}

void TolvaneFrame::OnWriteNVRAM(wxCommandEvent& /*event*/) {
    WriteEdits();
}

bool TolvaneFrame::WriteEdits() {
    if (!m_ctx.session.IsReady() || PendingBytes() == 0) return false;
    ReviewDialog review(this, m_protoVer, m_ctx.nvramRead, m_edited);
    if (!review.Ask()) return false;
    const int sent = m_ctx.session.Write(m_edited);
    if (sent > 0 || m_ctx.session.IsBusy()) m_awaitingWriteConfirm = true;
    ShowLinkState();
    CheckDefault();
    CheckButtonsEnabled();
    ArmSessionTimer(m_sessionTimer, m_ctx.session);
    return m_awaitingWriteConfirm;
}

bool TolvaneFrame::Confirm(int text) {
    return TolvaneMessageBox(_W_(text), App, wxYES_NO | wxICON_QUESTION | wxCENTRE, this) == wxYES;
}

void TolvaneFrame::OnSendRestart(wxCommandEvent& /*event*/) {
    if (!m_ctx.session.IsReady() || !Confirm(1169)) return;
    m_ctx.session.Restart();
}

void TolvaneFrame::OnExit(wxCommandEvent& /*event*/) {
    Close();
}

void TolvaneFrame::OnClose(wxCloseEvent& event) {
    const int pending = PendingBytes();
    if (!event.CanVeto() || TolvaneApp::IsStopping() || pending == 0 || m_ctx.session.IsBusy()) {
        Destroy();
        return;
    }
    const wxString text = wxString::Format(_W_(1172), pending);
    if (m_ctx.session.IsReady()) {
        // Write, Discard, Cancel.
        const int answer = TolvaneMessageBox(text, App, wxYES_NO | wxCANCEL | wxICON_QUESTION | wxCENTRE,
                                             this, {_W_(1165), _W_(1173), _W_(1166)});
        if (answer == wxNO) {
            Destroy();
            return;
        }
        // The window goes once the unit holds the words; a failed write leaves it open.
        if (answer == wxYES) m_closeAfterWrite = WriteEdits();
        event.Veto();
        return;
    }
    // Nothing can be written to a unit that has gone: Discard or Cancel.
    if (TolvaneMessageBox(text, App, wxYES_NO | wxICON_QUESTION | wxCENTRE, this, {_W_(1173), _W_(1166)}) ==
        wxYES) {
        Destroy();
        return;
    }
    event.Veto();
}

// ---- The session's view ------------------------------------------------------------------

void TolvaneFrame::MngMsg(const CMes& m) {
    m_ctx.session.TakeMes(m);
    ArmSessionTimer(m_sessionTimer, m_ctx.session);
}

void TolvaneFrame::PollSession() {
    try {
        m_ctx.session.Poll(m_ctx.inpV7, m_ctx.inpMes);
    } catch (const ErrorXML& e) {
        m_ctx.badLog.PutErr(e.Text().c_str(), e.Number(), true);
        if (!IsBeingDeleted()) Destroy();
        return;
    }
    // The read-back's progress (verifying n/32) moves with every answer.
    if (m_ctx.session.IsBusy()) ShowLinkState();
    ArmSessionTimer(m_sessionTimer, m_ctx.session);
}

void TolvaneFrame::OnExistsPack(wxCommandEvent& /*event*/) {
    PollSession();
}

void TolvaneFrame::OnMngPack(wxCommandEvent& /*event*/) {
    PollSession();
}

void TolvaneFrame::OnNoLink(wxCommandEvent& /*event*/) {
    m_ctx.session.LinkLost();
}

void TolvaneFrame::OnSessionTimer(wxTimerEvent& /*event*/) {
    m_ctx.session.Tick();
    ArmSessionTimer(m_sessionTimer, m_ctx.session);
}

void TolvaneFrame::ShowLinkState() {
    if (GetStatusBar() == nullptr) return;
    static const std::pair<typUnitState, int> kStateText[] = {
        {typUnitState::Loading, 1140},   {typUnitState::Ready, 1141},  {typUnitState::Writing, 1142},
        {typUnitState::Verifying, 1143}, {typUnitState::Silent, 1144}, {typUnitState::Refused, 1145},
        {typUnitState::Lost, 1146},      {typUnitState::Closed, 1147},
    };
    wxString text;
    for (const auto& [state, id] : kStateText) {
        if (state == m_ctx.session.State()) text = _W_(id);
    }
    if (m_ctx.session.State() == typUnitState::Verifying)
        text += wxString::Format(" %d/%d", m_ctx.session.ReadBackCount(), kNvramWords);
    SetStatusText(text, kStatusLink);
}

void TolvaneFrame::OnSessionEvent(const UnitEvent& event) {
    if (IsBeingDeleted()) return;
    ShowLinkState();
    if (event.kind == UnitEvent::typKind::Written) {
        ShowWriteResult(event);
        return;
    }
    if (event.kind != UnitEvent::typKind::State) return;
    CheckButtonsEnabled();
    switch (m_ctx.session.State()) {
        case typUnitState::Refused:
            TolvaneMessageBox(_W_(1105), App, wxOK | wxICON_ERROR, this);
            Destroy();
            return;
        case typUnitState::Lost:
        case typUnitState::Closed:
            // The edits stay: the engineer may still save them to a file.
            m_sessionTimer.Stop();
            TolvaneMessageBox(_W_(m_ctx.session.State() == typUnitState::Lost ? 1149 : 1150), App,
                              wxOK | wxICON_ERROR, this);
            return;
        default:
            return;
    }
}

void TolvaneFrame::ShowWriteResult(const UnitEvent& event) {
    m_awaitingWriteConfirm = false;
    // The window shows what the unit was seen to hold; a word not read back keeps the edit,
    // so that "Update NVRAM" offers it again.
    for (const auto& [w, value] : event.readBack) m_edited[w] = value;
    SetNVRAM(m_edited);
    const bool close = m_closeAfterWrite;
    m_closeAfterWrite = false;
    switch (event.result) {
        case typWriteResult::Verified:
            TolvaneMessageBox(_W_(1111), wxMessageBoxCaptionStr, wxOK | wxCENTRE, this);
            if (close) Destroy();
            return;
        case typWriteResult::Mismatch: {
            wxString text = _W_(1133);
            for (const WordMismatch& m : event.mismatches)
                text += "\n" + wxString::Format(_W_(1134), m.word, m.wanted, m.read);
            TolvaneMessageBox(text, App, wxOK | wxCENTRE | wxICON_ERROR, this);
            return;
        }
        case typWriteResult::Unverified:
            TolvaneMessageBox(wxString::Format(_W_(1135), static_cast<int>(event.readBack.size())), App,
                              wxOK | wxCENTRE | wxICON_ERROR, this);
            return;
    }
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
    const int pending = PendingBytes();
    if (pending > 0 && TolvaneMessageBox(wxString::Format(_W_(1171), pending), App,
                                         wxYES_NO | wxICON_QUESTION | wxCENTRE, this) != wxYES)
        return;
    const wxString path = ChooseFile(this, false);
    if (!path.empty()) LoadFromFile(path);
}

bool TolvaneFrame::SaveIntoFile(const wxString& path) {
    SettingsFileError error;
    if (SaveSettingsFile(std::string(path.fn_str()), m_ctx.nvramRead, error)) return true;
    LogError(wxString::Format("TolvaneFrame::SaveIntoFile(): %s %s", error.step, path), error.error);
    ShowErrorBox(wxString::Format(_W_(1139), path, wxString(std::strerror(error.error))));
    return false;
}

bool TolvaneFrame::LoadFromFile(const wxString& path) {
    SettingsFileError error;
    WordMap words;
    if (!LoadSettingsFile(std::string(path.fn_str()), words, error)) {
        wxString text;
        switch (error.kind) {
            case SettingsFileError::typKind::WrongLength:
                text.Printf(_W_(1136), path, error.length);
                break;
            case SettingsFileError::typKind::NotRegular:
                text.Printf(_W_(1137), path);
                break;
            default:
                text.Printf(_W_(1138), path, wxString(std::strerror(error.error)));
                break;
        }
        LogError(wxString::Format("TolvaneFrame::LoadFromFile(): %s %s", error.step, text), error.error);
        ShowErrorBox(text);
        return false;
    }
    m_edited = std::move(words);
    SetNVRAM(m_edited);
    return true;
}
