// The operator's settings, opening the configured port, and the message builders
// that several commands share. Every value starts from its default at each start.
#pragma once

#include <atomic>
#include <cstdarg>

struct ConsoleSettings {
    int pumpNumber;    // 1..32, two digits in messages
    int presetAmount;  // hundredths: 100 is 1.00
    int priceBase;     // thousandths: 1199 is 1.199
    int comPort;       // 1..7 from the menu; used at the next open
    int baudRate;      // bits per second; used at the next open
};

enum {
    DEFAULT_PUMP_NUMBER = 1,
    DEFAULT_PRESET_AMOUNT = 100,
    DEFAULT_PRICE_BASE = 1199,
    DEFAULT_COM_PORT = 1,
    DEFAULT_BAUD_RATE = 9600,
};

// Written by the user-interface thread, read by the panel on the same thread; the
// builders read it while holding the transaction lock on that thread too.
extern ConsoleSettings Settings;

// 1 while the status poll loop is on. Flipped by the hot key L.
extern std::atomic<int> looping;

// Puts every setting back to its default and the loop flag to 0.
void ResetConsoleSettings();

// Forgets the open port (if any), resolves `comPort` and opens it at `baudRate`,
// 8 data bits, no parity, one stop bit. Returns the open request's result.
int OpenConfiguredPort();

// Fills MessageBuffer by printf-style `format` (checked length), sets replyExpected
// to `reply` and runs the transaction, all under the transaction lock. A text that
// would not fit MessageBuffer is not sent at all; returns -1 then, else 0.
int SendMessageText(int reply, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 2, 3)))
#endif
    ;

// printf-style into `out` (`size` bytes). Returns the text's length, or -1 when it
// would not fit (what is left in `out` is then of no use).
int FormatText(char* out, int size, const char* format, ...)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 4)))
#endif
    ;
// The same with the arguments as a va_list (left to the caller to end).
int FormatTextV(char* out, int size, const char* format, va_list args)
#if defined(__GNUC__)
    __attribute__((format(printf, 3, 0)))
#endif
    ;

// The texts of the two builders, without sending: `out` gets the message (`size`
// bytes). Each returns its length, or -1 when it would not fit.
int FormatPresetAuthorize(const ConsoleSettings& settings, int digits, char hose, char kind, char* out,
                          int size);
int FormatPriceGrade(const ConsoleSettings& settings, int grade, int offset, char* out, int size);

// Preset authorize for `digits` 6 (any other value: 10), hose '0'..'8' and kind
// '0'..'3', with the current preset amount; sent with no reply expected.
void BuildPresetAuthorize(int digits, char hose, char kind);

// One price message per grade 1..count, each with no reply expected; grade i
// carries priceBase + 1000 (i - 1) + offset and that minus 100.
void BuildPriceSeries(int count, int offset);
