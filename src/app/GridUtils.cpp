#include "GridUtils.h"

#include <wx/dc.h>
#include <wx/settings.h>
#include <wx/tokenzr.h>

#include <algorithm>

GridCellBoolWithStrRenderer::GridCellBoolWithStrRenderer(const wxString& text) : m_text(text) {}

wxGridCellRenderer* GridCellBoolWithStrRenderer::Clone() const {
    return new GridCellBoolWithStrRenderer(m_text);
}

wxArrayString GridCellBoolWithStrRenderer::WrapText(wxDC& dc, const wxString& text, int width) {
    wxArrayString out;
    const wxArrayString lines = wxSplit(text, '\n', '\0');
    if (width < 1) return lines;
    for (const wxString& line : lines) {
        if (dc.GetTextExtent(line).x <= width) {
            out.Add(line);
            continue;
        }
        wxString current;
        int currentWidth = 0;
        wxStringTokenizer tokens(line, " \t", wxTOKEN_RET_DELIMS);
        while (tokens.HasMoreTokens()) {
            const wxString token = tokens.GetNextToken();
            const int tokenWidth = dc.GetTextExtent(token).x;
            if (tokenWidth >= width) {
                if (!current.empty()) out.Add(current);
                currentWidth = BreakWord(dc, token, width, out, current);
            } else if (currentWidth + tokenWidth < width) {
                current += token;
                currentWidth += tokenWidth;
            } else {
                if (!current.empty()) out.Add(current);
                current = token;
                currentWidth = tokenWidth;
            }
        }
        if (!current.empty()) out.Add(current);
    }
    return out;
}

void GridCellBoolWithStrRenderer::Draw(wxGrid& grid, wxGridCellAttr& attr, wxDC& dc, const wxRect& rect,
                                       int row, int col, bool isSelected) {
    wxGridCellBoolRenderer::Draw(grid, attr, dc, rect, row, col, isSelected);

    SetColorsAndFonts(grid, attr, dc, isSelected);
    int hAlign = wxALIGN_LEFT;
    int vAlign = wxALIGN_CENTRE_VERTICAL;
    attr.GetAlignment(&hAlign, &vAlign);

    // The first 20 pixels belong to the check box.
    wxRect textRect = rect;
    textRect.x += 20;
    textRect.width -= 20;

    dc.SetFont(attr.GetFont());
    grid.DrawTextRectangle(dc, WrapText(dc, m_text, textRect.width), textRect, hAlign, vAlign, wxHORIZONTAL);
}

GridComboBox::GridComboBox(const wxArrayString& choices) : wxGridCellChoiceEditor(choices, false) {}

int GridComboBox::GetIndex(const wxString& text) const {
    return m_choices.Index(text, true);
}

wxGridCellEditor* GridComboBox::Clone() const {
    return new GridComboBox(m_choices);
}

void SetColorsAndFonts(wxGrid& grid, const wxGridCellAttr& attr, wxDC& dc, bool isSelected) {
    dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
    if (!grid.IsThisEnabled()) {
        dc.SetTextBackground(wxSystemSettings::GetColour(wxSYS_COLOUR_BTNFACE));
        dc.SetTextForeground(wxSystemSettings::GetColour(wxSYS_COLOUR_GRAYTEXT));
    } else if (isSelected) {
        dc.SetTextBackground(grid.HasFocus() ? grid.GetSelectionBackground()
                                             : wxSystemSettings::GetColour(wxSYS_COLOUR_BTNSHADOW));
        dc.SetTextForeground(grid.GetSelectionForeground());
    } else {
        dc.SetTextBackground(attr.GetBackgroundColour());
        dc.SetTextForeground(attr.GetTextColour());
    }
    dc.SetFont(attr.GetFont());
}

int BreakWord(wxDC& dc, const wxString& word, int maxWidth, wxArrayString& lines, wxString& rest) {
    wxString remaining = word;
    for (;;) {
        wxArrayInt widths;
        dc.GetPartialTextExtents(remaining, widths);
        size_t n = 0;
        while (n < widths.size() && widths[n] <= maxWidth) ++n;
        // Always take one character, however narrow the cell, so the loop ends.
        n = std::max<size_t>(n, 1);
        lines.Add(remaining.Left(n));
        remaining = remaining.Mid(n);
        const int width = dc.GetTextExtent(remaining).x;
        if (width <= maxWidth) {
            rest = remaining;
            return width;
        }
    }
}
