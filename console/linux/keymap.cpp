#include "console/linux/keymap.h"

#include <FL/Enumerations.H>

namespace {

// The keypad 5 with Num Lock off: FLTK passes the X key symbol Clear on, which it
// has no name for.
const int FL_KEY_CLEAR = 0xff0b;

struct NamedKey {
    int key;
    unsigned short code;
};

// Keys FLTK names, with the code the same key has on Windows.
const NamedKey NamedKeys[] = {
    {FL_BackSpace, VK_CODE_BACK},
    {FL_Tab, VK_CODE_TAB},
    {FL_Enter, VK_CODE_RETURN},
    {FL_Pause, VK_CODE_PAUSE},
    {FL_Scroll_Lock, VK_CODE_SCROLL},
    {FL_Escape, VK_CODE_ESCAPE},
    {FL_Home, VK_CODE_HOME},
    {FL_Left, VK_CODE_LEFT},
    {FL_Up, VK_CODE_UP},
    {FL_Right, VK_CODE_RIGHT},
    {FL_Down, VK_CODE_DOWN},
    {FL_Page_Up, VK_CODE_PRIOR},
    {FL_Page_Down, VK_CODE_NEXT},
    {FL_End, VK_CODE_END},
    {FL_Print, VK_CODE_SNAPSHOT},
    {FL_Insert, VK_CODE_INSERT},
    {FL_KEY_CLEAR, VK_CODE_CLEAR},
    {FL_Menu, VK_CODE_APPS},
    {FL_Num_Lock, VK_CODE_NUMLOCK},
    {FL_Shift_L, VK_CODE_SHIFT},
    {FL_Shift_R, VK_CODE_SHIFT},
    {FL_Control_L, VK_CODE_CONTROL},
    {FL_Control_R, VK_CODE_CONTROL},
    {FL_Caps_Lock, VK_CODE_CAPITAL},
    {FL_Meta_L, VK_CODE_LWIN},
    {FL_Meta_R, VK_CODE_RWIN},
    {FL_Alt_L, VK_CODE_MENU},
    {FL_Alt_R, VK_CODE_MENU},
    {FL_Delete, VK_CODE_DELETE},
    {' ', VK_CODE_SPACE},
    // The punctuation keys of a US keyboard, unshifted (VK_OEM_1 .. VK_OEM_7).
    {';', 0xBA},
    {'=', 0xBB},
    {',', 0xBC},
    {'-', 0xBD},
    {'.', 0xBE},
    {'/', 0xBF},
    {'`', 0xC0},
    {'[', 0xDB},
    {'\\', 0xDC},
    {']', 0xDD},
    {'\'', 0xDE},
};

// Keypad keys other than the digits.
const NamedKey KeypadKeys[] = {
    {FL_KP_Enter, VK_CODE_RETURN},
    {FL_KP + '*', VK_CODE_MULTIPLY},
    {FL_KP + '+', VK_CODE_ADD},
    {FL_KP + ',', VK_CODE_SEPARATOR},
    {FL_KP + '-', VK_CODE_SUBTRACT},
    {FL_KP + '.', VK_CODE_DECIMAL},
    {FL_KP + '/', VK_CODE_DIVIDE},
    {FL_KP + '=', VK_CODE_RETURN},
};

// The keypad digits 0..9 with Num Lock off: what each key stands for then.
const unsigned short KeypadWithoutNumLock[10] = {
    VK_CODE_INSERT, VK_CODE_END, VK_CODE_DOWN, VK_CODE_NEXT, VK_CODE_LEFT,
    VK_CODE_CLEAR, VK_CODE_RIGHT, VK_CODE_HOME, VK_CODE_UP, VK_CODE_PRIOR,
};

unsigned short Lookup(const NamedKey* table, int count, int key) {
    for (int i = 0; i < count; ++i) {
        if (table[i].key == key) return table[i].code;
    }
    return VK_CODE_NONE;
}

// The code of an ASCII letter or digit, else VK_CODE_NONE.
unsigned short LetterOrDigit(int c) {
    if (c >= 'a' && c <= 'z') return static_cast<unsigned short>(VK_CODE_A + (c - 'a'));
    if (c >= 'A' && c <= 'Z') return static_cast<unsigned short>(VK_CODE_A + (c - 'A'));
    if (c >= '0' && c <= '9') return static_cast<unsigned short>(VK_CODE_0 + (c - '0'));
    return VK_CODE_NONE;
}

const int NamedKeyCount = static_cast<int>(sizeof NamedKeys / sizeof NamedKeys[0]);
const int KeypadKeyCount = static_cast<int>(sizeof KeypadKeys / sizeof KeypadKeys[0]);

}  // namespace

unsigned short VirtualKeyFor(int key, const char* text) {
    unsigned short code = LetterOrDigit(key);
    if (code != VK_CODE_NONE) return code;

    if (key >= FL_KP + '0' && key <= FL_KP + '9') {
        int digit = key - (FL_KP + '0');
        bool typesDigit = text != nullptr && text[0] == '0' + digit && text[1] == '\0';
        return typesDigit ? static_cast<unsigned short>(VK_CODE_NUMPAD0 + digit) : KeypadWithoutNumLock[digit];
    }
    if (key >= FL_KP && key <= FL_KP_Last) return Lookup(KeypadKeys, KeypadKeyCount, key);
    if (key > FL_F && key <= FL_F + 24) return static_cast<unsigned short>(VK_CODE_F1 + (key - FL_F - 1));

    code = Lookup(NamedKeys, NamedKeyCount, key);
    if (code != VK_CODE_NONE) return code;

    // A key without a name of its own: what it typed, when that is one ASCII
    // letter or digit (a digit of a keyboard whose digit row needs Shift, say).
    if (text != nullptr && text[0] != '\0' && text[1] == '\0') return LetterOrDigit(static_cast<unsigned char>(text[0]));
    return VK_CODE_NONE;
}
