// Word maps of the NVRAM editor and the custom cells of the configuration grid.
#pragma once

#include <wx/arrstr.h>
#include <wx/grid.h>
#include <wx/string.h>

#include <cstdint>
#include <map>

// NVRAM word number -> 16-bit value. Words not in the map read as 0.
using WordMap = std::map<int, uint16_t>;

uint16_t GetWord(const WordMap& words, int w);
uint8_t GetLowByte(const WordMap& words, int w);
uint8_t GetHighByte(const WordMap& words, int w);

// Each setter creates the word with value 0 when absent and leaves every other bit as it was.
void SetLowByte(WordMap& words, int w, uint8_t b);
void SetHighByte(WordMap& words, int w, uint8_t b);

bool GetWordBit(const WordMap& words, int w, int bit);
void SetWordBit(WordMap& words, int w, int bit, bool on);

// A bit field of `width` bits starting at bit `shift` (the time intervals are 4-bit fields).
unsigned GetWordField(const WordMap& words, int w, int shift, int width);
void SetWordField(WordMap& words, int w, int shift, int width, unsigned value);

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
