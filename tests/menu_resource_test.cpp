// The Windows menu resource kept in the tree (console/win32/menu109.rc) against
// the command table: it must be exactly what menu_rc_gen writes today, and read
// back as a resource compiler reads it, it must give the table's tree.
#include <gtest/gtest.h>

#include <cstdio>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "commands/menu_table.h"

namespace {

const char RegenerateHint[] =
    "console/win32/menu109.rc is out of date with commands/menu_table.cpp; regenerate it with\n"
    "  cmake --build <build-dir> --target zantrox_update_menu_rc\n"
    "and commit the result.";

std::string ReadKeptFile() {
    std::ifstream in(ZANTROX_MENU_RC, std::ios::binary);
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// Runs the generator; `status` gets its exit status (-1 when it could not run).
std::string RunGenerator(int& status) {
    std::string output;
    status = -1;
    FILE* pipe = popen("\"" ZANTROX_MENU_RC_GEN "\"", "r");
    if (pipe == nullptr) return output;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, pipe)) > 0) output.append(chunk, n);
    status = pclose(pipe);
    return output;
}

std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    std::string line;
    while (std::getline(in, line)) lines.push_back(line);
    return lines;
}

std::string Trimmed(const std::string& line) {
    size_t first = line.find_first_not_of(' ');
    return first == std::string::npos ? std::string() : line.substr(first);
}

struct Row {
    int depth;
    MenuEntryKind kind;
    std::string label;
    unsigned id;
};

// Reads a quoted label at `at` ("" is one quote, \\ one backslash); moves `at`
// past the closing quote. Returns false on a malformed label.
bool ReadLabel(const std::string& text, size_t& at, std::string& label) {
    if (at >= text.size() || text[at] != '"') return false;
    for (++at; at < text.size(); ++at) {
        char c = text[at];
        if (c == '"' && at + 1 < text.size() && text[at + 1] == '"') {
            label += '"';
            ++at;
        } else if (c == '\\' && at + 1 < text.size() && text[at + 1] == '\\') {
            label += '\\';
            ++at;
        } else if (c == '"') {
            ++at;
            return true;
        } else {
            label += c;
        }
    }
    return false;
}

// Parses the MENU statement back into rows; reports the first problem in `error`.
std::vector<Row> ParseMenu(const std::string& text, std::string& error) {
    std::vector<Row> rows;
    int depth = -1;  // -1: before the menu's BEGIN
    bool header = false;
    bool expectBegin = false;
    bool finished = false;
    int number = 0;
    for (const std::string& raw : Lines(text)) {
        ++number;
        std::string line = Trimmed(raw);
        if (line.empty() || line.compare(0, 2, "//") == 0) continue;
        std::string where = "line " + std::to_string(number) + ": ";
        if (finished) {
            error = where + "text after the menu";
            return rows;
        }
        if (!header) {
            if (line != "109 MENU") {
                error = where + "expected '109 MENU'";
                return rows;
            }
            header = true;
            expectBegin = true;
        } else if (expectBegin) {
            if (line != "BEGIN") {
                error = where + "expected BEGIN";
                return rows;
            }
            expectBegin = false;
            ++depth;
        } else if (line == "END") {
            if (--depth < 0) finished = true;
        } else if (line.compare(0, 6, "POPUP ") == 0) {
            size_t at = 6;
            Row row{depth, MENU_POPUP, "", 0};
            if (!ReadLabel(line, at, row.label) || at != line.size()) {
                error = where + "malformed POPUP";
                return rows;
            }
            rows.push_back(row);
            expectBegin = true;
        } else if (line.compare(0, 9, "MENUITEM ") == 0) {
            size_t at = 9;
            Row row{depth, MENU_ITEM, "", 0};
            if (!ReadLabel(line, at, row.label) || line.compare(at, 2, ", ") != 0) {
                error = where + "malformed MENUITEM";
                return rows;
            }
            std::string id = line.substr(at + 2);
            if (id.empty() || id.find_first_not_of("0123456789") != std::string::npos || std::stoul(id) > 65535) {
                error = where + "bad command id '" + id + "'";
                return rows;
            }
            row.id = static_cast<unsigned>(std::stoul(id));
            rows.push_back(row);
        } else {
            error = where + "unexpected '" + line + "'";
            return rows;
        }
    }
    if (!finished) error = "the menu is not closed";
    return rows;
}

TEST(MenuResource, KeptFileIsWhatTheGeneratorWritesNow) {
    int status = 0;
    std::string generated = RunGenerator(status);
    ASSERT_EQ(status, 0) << "menu_rc_gen failed: " ZANTROX_MENU_RC_GEN;
    std::string kept = ReadKeptFile();
    ASSERT_FALSE(kept.empty()) << "cannot read " ZANTROX_MENU_RC;
    if (generated == kept) return;
    std::vector<std::string> want = Lines(generated);
    std::vector<std::string> got = Lines(kept);
    size_t line = 0;
    while (line < want.size() && line < got.size() && want[line] == got[line]) ++line;
    ADD_FAILURE() << RegenerateHint << "\nFirst difference at line " << line + 1 << ":\n  kept:      "
                  << (line < got.size() ? got[line] : "<end of file>") << "\n  generated: "
                  << (line < want.size() ? want[line] : "<end of file>");
}

TEST(MenuResource, KeptFileReadsBackAsTheTableTree) {
    std::string kept = ReadKeptFile();
    std::string error;
    std::vector<Row> rows = ParseMenu(kept, error);
    ASSERT_EQ(error, "");

    int popups = 0;
    int items = 0;
    for (const std::string& line : Lines(kept)) {
        std::string trimmed = Trimmed(line);
        if (trimmed.compare(0, 6, "POPUP ") == 0) ++popups;
        if (trimmed.compare(0, 9, "MENUITEM ") == 0) ++items;
    }
    EXPECT_EQ(popups, 43);
    EXPECT_EQ(items, 204);

    ASSERT_EQ(static_cast<int>(rows.size()), MenuTableLength) << RegenerateHint;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& entry = MenuTable[i];
        SCOPED_TRACE("table row " + std::to_string(i) + " \"" + entry.label + "\"");
        EXPECT_EQ(rows[i].depth, entry.depth);
        EXPECT_EQ(rows[i].kind, entry.kind);
        EXPECT_EQ(rows[i].label, entry.label);
        if (entry.kind == MENU_ITEM) {
            EXPECT_EQ(rows[i].id, entry.id);
        }
    }
}

TEST(MenuResource, IdsAndLabelsStandAsWritten) {
    std::vector<std::string> lines = Lines(ReadKeptFile());
    auto has = [&lines](const std::string& wanted) {
        for (const std::string& line : lines) {
            if (line == wanted) return true;
        }
        return false;
    };
    // The bar's own command item, twenty spaces in its label, directly on the bar.
    EXPECT_TRUE(has("    MENUITEM \"                    (DOVK)\", 65535"));
    // "E&xit" inside "&File", mnemonic marker kept, its low id unchanged.
    EXPECT_TRUE(has("        MENUITEM \"E&xit\", 105"));
    EXPECT_TRUE(has("        MENUITEM \"10\", 32829"));
    EXPECT_TRUE(has("        MENUITEM \"22\", 32825"));
    EXPECT_TRUE(has("                    MENUITEM \"Hose&0\", 32978"));
    EXPECT_TRUE(has("                    MENUITEM \"hose 5\", 32994"));
}

}  // namespace
