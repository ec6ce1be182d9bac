// The desktop entry and the program icon are installed as they are and the icon is compiled into
// the main window, so a slip in either shows only on a user's desktop. These tests read the
// installed files themselves.

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <map>
#include <set>
#include <sstream>
#include <string>
#include <vector>

// The same inclusion the main window makes; a malformed array fails the build here first.
#include "../../data/tolvane.xpm"

namespace {

const std::filesystem::path kData = TOLVANE_DATA_DIR;

struct XpmHeader {
    int width = 0, height = 0, colours = 0, chars = 0;
};

XpmHeader ReadHeader(const char* text) {
    XpmHeader h;
    std::istringstream in(text);
    in >> h.width >> h.height >> h.colours >> h.chars;
    return h;
}

TEST(PackagingIcon, IsA32By32FourColourPixmapWhoseRowsUseOnlyItsColours) {
    const XpmHeader h = ReadHeader(tolvane_xpm[0]);
    ASSERT_EQ(h.width, 32);
    ASSERT_EQ(h.height, 32);
    ASSERT_EQ(h.colours, 4);
    ASSERT_EQ(h.chars, 1);
    ASSERT_EQ(sizeof tolvane_xpm / sizeof tolvane_xpm[0], size_t(1 + 4 + 32));

    std::map<char, std::string> colour;
    for (int i = 1; i <= h.colours; ++i) {
        const std::string line = tolvane_xpm[i];
        ASSERT_GE(line.size(), 5u) << line;
        EXPECT_EQ(line.substr(1, 3), " c ") << line;
        EXPECT_TRUE(colour.emplace(line[0], line.substr(4)).second) << "colour key used twice: " << line;
    }
    int transparent = 0;
    for (const auto& [key, value] : colour) {
        if (value == "None")
            ++transparent;
        else
            EXPECT_TRUE(value.size() == 7 && value[0] == '#' &&
                        value.find_first_not_of("0123456789ABCDEFabcdef", 1) == std::string::npos)
                << "colour '" << key << "' is neither None nor #RRGGBB: " << value;
    }
    EXPECT_EQ(transparent, 1) << "the icon needs exactly one transparent colour for its background";

    std::set<char> used;
    for (int r = 0; r < h.height; ++r) {
        const std::string row = tolvane_xpm[1 + h.colours + r];
        ASSERT_EQ(row.size(), size_t(h.width)) << "row " << r;
        for (char c : row) {
            ASSERT_TRUE(colour.count(c)) << "row " << r << " uses undeclared colour '" << c << "'";
            used.insert(c);
        }
    }
    EXPECT_EQ(used.size(), colour.size()) << "a declared colour is never drawn";
}

TEST(PackagingIcon, DrawsOnAnOpaqueMiddleWithATransparentRim) {
    // A panel with tray icons and menus scales this down: the motif must fill the middle and the
    // corners must stay transparent so it sits on any background.
    const char none = [] {
        for (int i = 1; i <= 4; ++i)
            if (std::string(tolvane_xpm[i]).substr(4) == "None") return tolvane_xpm[i][0];
        return '\0';
    }();
    ASSERT_NE(none, '\0');
    const auto at = [](int r, int c) { return tolvane_xpm[5 + r][c]; };
    for (int r : {0, 31})
        for (int c : {0, 31}) EXPECT_EQ(at(r, c), none) << "corner " << r << "," << c;
    int opaque = 0;
    for (int r = 8; r < 24; ++r)
        for (int c = 8; c < 24; ++c) opaque += at(r, c) != none;
    EXPECT_EQ(opaque, 16 * 16);
}

// A desktop entry as its groups' key/value maps, refusing what the format does not allow.
struct DesktopEntry {
    std::vector<std::string> groups;
    std::map<std::string, std::map<std::string, std::string>> keys;
    std::vector<std::string> faults;
};

DesktopEntry ParseDesktopEntry(std::istream& in) {
    DesktopEntry d;
    std::string line;
    int number = 0;
    while (std::getline(in, line)) {
        ++number;
        const std::string where = "line " + std::to_string(number) + ": ";
        if (!line.empty() && line.back() == '\r') d.faults.push_back(where + "carriage return");
        if (line.empty() || line[0] == '#') continue;
        if (line.front() == '[') {
            if (line.back() != ']') d.faults.push_back(where + "unclosed group header");
            d.groups.push_back(line.substr(1, line.size() - 2));
            continue;
        }
        const auto eq = line.find('=');
        if (d.groups.empty())
            d.faults.push_back(where + "key before any group");
        else if (eq == std::string::npos || eq == 0)
            d.faults.push_back(where + "not a key=value line");
        else if (!d.keys[d.groups.back()].emplace(line.substr(0, eq), line.substr(eq + 1)).second)
            d.faults.push_back(where + "key given twice: " + line.substr(0, eq));
    }
    return d;
}

TEST(PackagingDesktopEntry, LaunchesTheInstalledProgramWithItsIcon) {
    std::ifstream in(kData / "tolvane.desktop");
    ASSERT_TRUE(in) << "no data/tolvane.desktop";
    const DesktopEntry d = ParseDesktopEntry(in);
    EXPECT_TRUE(d.faults.empty()) << d.faults.front();
    ASSERT_FALSE(d.groups.empty());
    ASSERT_EQ(d.groups.front(), "Desktop Entry");
    const auto& e = d.keys.at("Desktop Entry");
    const auto value = [&](const std::string& k) { return e.count(k) ? e.at(k) : std::string("<missing>"); };
    EXPECT_EQ(value("Type"), "Application");
    EXPECT_EQ(value("Name"), "Tolvane");
    EXPECT_EQ(value("Exec"), "tolvane");
    EXPECT_EQ(value("Terminal"), "false");
    // The icon is looked up by this name among the installed icons, so it must be the pixmap's
    // file name without its extension.
    EXPECT_EQ(value("Icon"), "tolvane");
    EXPECT_TRUE(std::filesystem::exists(kData / (value("Icon") + ".xpm")));
    const std::string categories = value("Categories");
    ASSERT_FALSE(categories.empty());
    EXPECT_EQ(categories.back(), ';') << "a list value ends with a semicolon";
    EXPECT_NE((";" + categories).find(";Utility;"), std::string::npos) << "no main category: " << categories;
}

TEST(PackagingDesktopEntry, ParserRefusesTheFaultsItChecksFor) {
    std::istringstream bad("Name=before group\n[Desktop Entry\nType=Application\nType=Link\nnoequals\n");
    const DesktopEntry d = ParseDesktopEntry(bad);
    ASSERT_EQ(d.faults.size(), 4u);
    EXPECT_NE(d.faults[0].find("before any group"), std::string::npos);
    EXPECT_NE(d.faults[1].find("unclosed"), std::string::npos);
    EXPECT_NE(d.faults[2].find("twice"), std::string::npos);
    EXPECT_NE(d.faults[3].find("key=value"), std::string::npos);
}

}  // namespace
