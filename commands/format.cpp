#include "commands/format.h"

#include <cstdarg>

#include "commands/settings.h"

std::string Format(const char* format, ...) {
    // Most texts fit the first buffer; a longer one gets a larger one until it fits.
    std::string out(256, '\0');
    for (int attempt = 0; attempt < 12; ++attempt) {
        va_list args;
        va_start(args, format);
        int n = FormatTextV(&out[0], static_cast<int>(out.size()), format, args);
        va_end(args);
        if (n >= 0) {
            out.resize(static_cast<size_t>(n));
            return out;
        }
        out.assign(out.size() * 4, '\0');
    }
    return std::string();
}
