// Key events of the Linux front end as Windows virtual-key codes: the command
// table knows its hot keys by those codes only, so both front ends feed it alike.
#pragma once

// Windows virtual-key codes this translation produces by name.
enum : unsigned short {
    VK_CODE_NONE = 0,  // no code: the command table does nothing with it
    VK_CODE_BACK = 0x08,
    VK_CODE_TAB = 0x09,
    VK_CODE_CLEAR = 0x0C,
    VK_CODE_RETURN = 0x0D,
    VK_CODE_SHIFT = 0x10,
    VK_CODE_CONTROL = 0x11,
    VK_CODE_MENU = 0x12,  // Alt
    VK_CODE_PAUSE = 0x13,
    VK_CODE_CAPITAL = 0x14,
    VK_CODE_ESCAPE = 0x1B,
    VK_CODE_SPACE = 0x20,
    VK_CODE_PRIOR = 0x21,
    VK_CODE_NEXT = 0x22,
    VK_CODE_END = 0x23,
    VK_CODE_HOME = 0x24,
    VK_CODE_LEFT = 0x25,
    VK_CODE_UP = 0x26,
    VK_CODE_RIGHT = 0x27,
    VK_CODE_DOWN = 0x28,
    VK_CODE_SNAPSHOT = 0x2C,
    VK_CODE_INSERT = 0x2D,
    VK_CODE_DELETE = 0x2E,
    VK_CODE_0 = 0x30,  // '0'..'9': 0x30..0x39
    VK_CODE_A = 0x41,  // 'A'..'Z': 0x41..0x5A
    VK_CODE_LWIN = 0x5B,
    VK_CODE_RWIN = 0x5C,
    VK_CODE_APPS = 0x5D,
    VK_CODE_NUMPAD0 = 0x60,  // keypad digits with Num Lock on: 0x60..0x69
    VK_CODE_MULTIPLY = 0x6A,
    VK_CODE_ADD = 0x6B,
    VK_CODE_SEPARATOR = 0x6C,
    VK_CODE_SUBTRACT = 0x6D,
    VK_CODE_DECIMAL = 0x6E,
    VK_CODE_DIVIDE = 0x6F,
    VK_CODE_F1 = 0x70,  // F1..F24: 0x70..0x87
    VK_CODE_NUMLOCK = 0x90,
    VK_CODE_SCROLL = 0x91,
};

// The virtual-key code of one key press. `key` is FLTK's key number of the event
// (Fl::event_key(): letters in lower case whatever Shift and Caps Lock say, FL_KP
// + c for the keypad, FL_F + n for function keys) and `text` the text it typed
// (Fl::event_text(), may be empty or nullptr).
//   letters a-z, A-Z        -> 0x41..0x5A, with or without Shift or Caps Lock
//   digits of the main row  -> 0x30..0x39
//   keypad digits           -> 0x60..0x69 when they type their digit (Num Lock
//                              on); with Num Lock off FLTK already reports the
//                              key they stand for (End, Down, ..., Clear for the
//                              5), which maps to that key's code, and a keypad
//                              digit that types nothing maps the same way
//   other keypad keys       -> their keypad codes (Multiply, Add, ..., Return)
//   F1..F24                 -> 0x70..0x87
//   other named keys        -> their own codes; US punctuation -> its OEM code
// A key FLTK does not name (a non-Latin letter, say) is taken by the one ASCII
// letter or digit it typed, if so; anything else gives VK_CODE_NONE.
unsigned short VirtualKeyFor(int key, const char* text);
