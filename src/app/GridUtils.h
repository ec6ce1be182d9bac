// Word maps of the NVRAM editor and the custom cells of the configuration grid.
#pragma once

#include <wx/arrstr.h>
#include <wx/grid.h>
#include <wx/string.h>

#include <cstdint>

#include "NvRam.h"

// Check-box cell that also shows a text (the setting's number) to the right of the box.
class GridCellBoolWithStrRenderer : public wxGridCellBoolRenderer {
public:
    explicit GridCellBoolWithStrRenderer(const wxString& text);

    void Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect, int row, int col,
              bool isSelected) override;
    wxGridCellRenderer* Clone() const override;

    const wxString& GetText() const { return m_text; }

    // The lines the text is drawn as in a text area `width` pixels wide; Draw uses the same wrapping.
    static wxArrayString WrapText(wxDC& dc, const wxString& text, int width);

private:
    wxString m_text;
};

// Drop-down editor over a fixed list; other texts are not accepted.
class GridComboBox : public wxGridCellChoiceEditor {
public:
    explicit GridComboBox(const wxArrayString& choices);

    // Position of text in the list (exact, case-sensitive), wxNOT_FOUND when absent.
    int GetIndex(const wxString& text) const;
    const wxArrayString& GetChoices() const { return m_choices; }

    wxGridCellEditor* Clone() const override;
};

// Chooses text colours and font the way the framework's string renderer does.
void SetColorsAndFonts(wxGrid& grid, const wxGridCellAttr& attr, wxDC& dc, bool isSelected);

// Cuts a word wider than maxWidth into pieces that fit (at least one character each); full pieces go to
// lines, the last piece to rest. Returns the width of rest.
int BreakWord(wxDC& dc, const wxString& word, int maxWidth, wxArrayString& lines, wxString& rest);
