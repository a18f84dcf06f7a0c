#include "commands/settings.h"

#include <cstdarg>
#include <cstdio>

#include "link/transaction.h"
#include "port/port.h"

ConsoleSettings Settings = {DEFAULT_PUMP_NUMBER, DEFAULT_PRESET_AMOUNT, DEFAULT_PRICE_BASE,
                            DEFAULT_COM_PORT, DEFAULT_BAUD_RATE};
std::atomic<int> looping{0};

void ResetConsoleSettings() {
    Settings = ConsoleSettings{DEFAULT_PUMP_NUMBER, DEFAULT_PRESET_AMOUNT, DEFAULT_PRICE_BASE,
                               DEFAULT_COM_PORT, DEFAULT_BAUD_RATE};
    looping.store(0);
}

int OpenConfiguredPort() {
    // The poll thread may be between transactions; it must not see a half-opened port.
    TransactionGuard guard;
    int id = openPortId.load();
    if (id != 0) {
        PortRequest(id, PORT_FORGET, nullptr);
        openPortId.store(0);
    }
    int resolved = -1;
    PortResolveArgs resolve = {static_cast<unsigned char>(Settings.comPort), &resolved};
    PortRequest(0, PORT_RESOLVE, &resolve);
    openPortId.store(resolved);
    PortParams params = {Settings.baudRate, 0, 8, 1};
    return PortRequest(resolved, PORT_OPEN, &params);
}

int FormatTextV(char* out, int size, const char* format, va_list args) {
    if (size <= 0) return -1;
    int n = std::vsnprintf(out, static_cast<size_t>(size), format, args);
    return n >= 0 && n < size ? n : -1;
}

int FormatText(char* out, int size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    int n = FormatTextV(out, size, format, args);
    va_end(args);
    return n;
}

int SendMessageText(int reply, const char* format, ...) {
    TransactionGuard guard;
    va_list args;
    va_start(args, format);
    int n = FormatTextV(MessageBuffer, MESSAGE_BYTES, format, args);
    va_end(args);
    if (n < 0) {
        MessageBuffer[0] = '\0';
        return -1;
    }
    replyExpected.store(static_cast<unsigned char>(reply));
    RunTransaction();
    return 0;
}

int FormatPresetAuthorize(const ConsoleSettings& settings, int digits, char hose, char kind, char* out,
                          int size) {
    int p = settings.presetAmount;
    if (digits == 6) return FormatText(out, size, "A%02d%c%c%06d%06d", settings.pumpNumber, hose, kind, p, 10 * p);
    return FormatText(out, size, "A%02d%cE%c%010d%010d", settings.pumpNumber, hose, kind, p, 10 * p);
}

int FormatPriceGrade(const ConsoleSettings& settings, int grade, int offset, char* out, int size) {
    int first = settings.priceBase + 1000 * (grade - 1) + offset;
    return FormatText(out, size, "J%02d%1dW%06d%06d", settings.pumpNumber, grade, first, first - 100);
}

void BuildPresetAuthorize(int digits, char hose, char kind) {
    char text[MESSAGE_BYTES];
    if (FormatPresetAuthorize(Settings, digits, hose, kind, text, sizeof text) >= 0) SendMessageText(0, "%s", text);
}

void BuildPriceSeries(int count, int offset) {
    for (int i = 1; i <= count; ++i) {
        char text[MESSAGE_BYTES];
        if (FormatPriceGrade(Settings, i, offset, text, sizeof text) >= 0) SendMessageText(0, "%s", text);
    }
}
