// Writes the Windows menu resource script (menu109.rc) from the command table, so
// the menu bar of the Windows build and the bindings come from the same rows.
//
//   menu_rc_gen [output-file]      (standard output when no file is named)
//
// Pop-ups nest by the rows' depth; a label's double quote is doubled and its
// backslash doubled, as resource scripts want; "&" mnemonic markers stay as they are.
#include <cstdio>

#include "commands/menu_table.h"

namespace {

int WriteIndent(FILE* out, int level) {
    for (int i = 0; i < level; ++i) {
        if (std::fputs("    ", out) < 0) return -1;
    }
    return 0;
}

int WriteLabel(FILE* out, const char* label) {
    if (std::fputc('"', out) == EOF) return -1;
    for (const char* c = label; *c != '\0'; ++c) {
        if ((*c == '"' || *c == '\\') && std::fputc(*c, out) == EOF) return -1;
        if (std::fputc(*c, out) == EOF) return -1;
    }
    return std::fputc('"', out) == EOF ? -1 : 0;
}

int WriteLine(FILE* out, int level, const char* text) {
    if (WriteIndent(out, level) != 0) return -1;
    return std::fprintf(out, "%s\n", text) < 0 ? -1 : 0;
}

int WriteMenu(FILE* out) {
    if (std::fprintf(out,
                     "// Menu bar of the main window, written by menu_rc_gen from the command\n"
                     "// table (commands/menu_table.cpp). Do not edit; regenerate instead.\n"
                     "%d MENU\nBEGIN\n",
                     static_cast<int>(MENU_RESOURCE_ID)) < 0) {
        return -1;
    }
    int open = 0;  // pop-ups currently open
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& entry = MenuTable[i];
        while (open > entry.depth) {
            --open;
            if (WriteLine(out, open + 1, "END") != 0) return -1;
        }
        if (entry.depth != open) return -1;  // a row deeper than its parent allows
        if (WriteIndent(out, open + 1) != 0) return -1;
        if (entry.kind == MENU_POPUP) {
            if (std::fputs("POPUP ", out) < 0 || WriteLabel(out, entry.label) != 0 || std::fputc('\n', out) == EOF) {
                return -1;
            }
            if (WriteLine(out, open + 1, "BEGIN") != 0) return -1;
            ++open;
        } else {
            if (std::fputs("MENUITEM ", out) < 0 || WriteLabel(out, entry.label) != 0) return -1;
            if (std::fprintf(out, ", %u\n", static_cast<unsigned>(entry.id)) < 0) return -1;
        }
    }
    while (open > 0) {
        --open;
        if (WriteLine(out, open + 1, "END") != 0) return -1;
    }
    return std::fputs("END\n", out) < 0 ? -1 : 0;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc > 2) {
        std::fprintf(stderr, "usage: menu_rc_gen [output-file]\n");
        return 2;
    }
    FILE* out = stdout;
    if (argc == 2) {
        out = std::fopen(argv[1], "wb");
        if (out == nullptr) {
            std::perror(argv[1]);
            return 1;
        }
    }
    int result = WriteMenu(out);
    if (std::fflush(out) != 0) result = -1;
    if (out != stdout && std::fclose(out) != 0) result = -1;
    if (result != 0) {
        std::fprintf(stderr, "menu_rc_gen: could not write the menu resource\n");
        return 1;
    }
    return 0;
}
