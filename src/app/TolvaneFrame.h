// The main window: the NVRAM editor with its service page, configuration grid and menus.
#pragma once

#include <wx/colour.h>
#include <wx/frame.h>
#include <wx/grid.h>
#include <wx/menu.h>
#include <wx/notebook.h>
#include <wx/timer.h>

#include <cstdint>
#include <functional>
#include <memory>

#include "GridUtils.h"
#include "NvRam.h"
#include "NvramLayout.h"
#include "UnitSession.h"

class CMes;
class ServiceTab;
struct ToolContext;

// Cells and labels whose value differs from the unit's default.
extern const wxColour kBackgroundColourHighlighted;
// The text of cells and labels edited and not yet written (in bold).
extern const wxColour kColourPending;

class TolvaneFrame : public wxFrame {
public:
    enum {
        ID_DEFAULT = 290,
        ID_RESTART = 291,
        ID_LAST_SAVED = 292,
        ID_WRITE = 293,
        ID_SESSION_TIMER = 294,
        ID_GRID = 296,
        ID_SAVE_FILE = 298,
        ID_LOAD_FILE = 299,
    };

    // Rows of the configuration grid for the older and the newer unit generations.
    static constexpr int kRowsV5 = 32;
    static constexpr int kRowsV6 = 40;
    // Words the unit holds; a settings file is exactly their image.
    static constexpr int kNvramWords = kLuWords;

    // The status bar's fields: the unit, the link state, the bytes edited but not written.
    enum { kStatusUnit, kStatusLink, kStatusEdits, kStatusFields };

    // The settings-file path chooser; an empty result means cancelled.
    using FileChooserFn = std::function<wxString(wxWindow* parent, bool save)>;

    // An empty function restores the real dialogs.
    static void SetFileChooserFn(FileChooserFn fn);

    // The window of the running application (reads wxGetApp()).
    explicit TolvaneFrame(const wxString& title);
    // protoVer < 0: taken from the LU record of ctx.pult.
    TolvaneFrame(const wxString& title, ToolContext& ctx, int protoVer = -1);
    ~TolvaneFrame() override;

    // ---- Handlers ----
    void OnStartTolvane(wxCommandEvent& event);
    void OnExistsPack(wxCommandEvent& event);
    void OnMngPack(wxCommandEvent& event);
    void OnNoLink(wxCommandEvent& event);
    void OnDefault(wxCommandEvent& event);
    void OnReturnToLastSaved(wxCommandEvent& event);
    void OnWriteNVRAM(wxCommandEvent& event);
    void OnSendRestart(wxCommandEvent& event);
    void OnExit(wxCommandEvent& event);
    void OnSaveIntoFileNVRAM(wxCommandEvent& event);
    void OnLoadFromFileNVRAM(wxCommandEvent& event);
    void OnCellLeftClick(wxGridEvent& event);
    void OnConfigTabCellChanged(wxGridEvent& event);
    void OnSessionTimer(wxTimerEvent& event);
    // Exit, Ctrl+Q and the close box: edits not yet written are written, discarded or kept.
    void OnClose(wxCloseEvent& event);

    // One message from the unit, already matched to it.
    void MngMsg(const CMes& m);
    void CheckButtonsEnabled();
    bool AreWordsEquivalent(const WordMap& a, const WordMap& b) const;
    uint16_t NormalizeWordForCompare(int w, uint16_t value) const;

    // Shows a word map on both pages; the grid writes its cells back into edited through
    // queued cell-changed events.
    void SetNVRAM(const WordMap& words);
    void CheckDefault();
    // Queues a cell-changed event for the cell so that OnConfigTabCellChanged handles it later.
    static void ValueChanged(wxGrid* grid, int row, int col);

    // ---- Settings file ----
    // Writes nvramRead as the 64-byte image. On failure shows why in a box and logs it; the
    // file on disk is never left half written.
    bool SaveIntoFile(const wxString& path);
    // Takes the file's 32 words into edited and shows them; a file that is not a settings file
    // is refused with a box and nothing changes.
    bool LoadFromFile(const wxString& path);

    // Bytes that "Update NVRAM" would write now.
    int PendingBytes() const;

    // ---- The grid's cells as parameters ----
    // The parameter a cell of the grid edits (columns 1..4), nullptr for the others.
    const ParamDef* GridParam(int row, int col) const;
    // Choice list of column 4 for a row.
    static wxArrayString ChoicesForRow(int row);

    // ---- State, for the application and the tests ----
    int GetProtoVer() const { return m_protoVer; }
    bool DefaultsAvailable() const { return m_defaultsAvailable; }
    // A write has been sent and its outcome not yet shown.
    bool AwaitingWriteConfirm() const { return m_awaitingWriteConfirm; }
    wxGrid* GetGrid() const { return m_grid; }
    WordMap& Edited() { return m_edited; }
    const WordMap& Edited() const { return m_edited; }
    wxMenuItem* ItemDefault() const { return m_itemDefault; }
    wxMenuItem* ItemLastSaved() const { return m_itemLastSaved; }
    wxMenuItem* ItemWrite() const { return m_itemWrite; }
    wxMenuItem* ItemRestart() const { return m_itemRestart; }
    wxNotebook* GetNotebook() const { return m_notebook; }
    ServiceTab* GetServiceTab() const { return m_service.get(); }

private:
    void Build();
    void CreateMenus();
    wxWindow* CreateConfigTab(wxNotebook* notebook);
    wxWindow* CreateTopBar(wxWindow* parent);
    wxString NoLayoutText() const;
    void Search(const wxString& text, bool next);
    void ShowParam(const ParamDef& p);
    // Review, then write; true when a write is under way.
    bool WriteEdits();
    // A yes/no question; true for yes.
    bool Confirm(int text);
    void PaintCell(int row, int col);
    void PaintGrid();
    wxString CellTip(int row, int col) const;
    void OnGridMotion(wxMouseEvent& event);
    void OnSessionEvent(const UnitEvent& event);
    void ShowWriteResult(const UnitEvent& event);
    void ShowLinkState();
    void PollSession();
    void LogError(const wxString& text, int error);
    void ShowErrorBox(const wxString& text);

    ToolContext& m_ctx;
    int m_protoVer = 0;
    bool m_defaultsAvailable = false;
    bool m_awaitingWriteConfirm = false;
    wxGrid* m_grid = nullptr;
    wxMenuItem* m_itemDefault = nullptr;
    wxMenuItem* m_itemLastSaved = nullptr;
    wxMenuItem* m_itemWrite = nullptr;
    wxMenuItem* m_itemRestart = nullptr;
    WordMap m_edited;
    wxNotebook* m_notebook = nullptr;
    std::unique_ptr<ServiceTab> m_service;
    wxTimer m_sessionTimer;
    class wxSearchCtrl* m_search = nullptr;
    size_t m_searchAt = 0;
    // Exit chose "Write": the window goes once the write is verified.
    bool m_closeAfterWrite = false;
    // The unit's words have been put on the pages.
    bool m_filled = false;

    wxDECLARE_EVENT_TABLE();
};
