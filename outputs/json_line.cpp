#include "outputs/json_line.h"

std::string JsonLine(const JsonValue& value) {
    // With `replace`, dump has no error left to throw for: a byte that is not
    // UTF-8 becomes U+FFFD instead of type_error 316.
    return value.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace);
}

void PutJsonLine(std::FILE* out, const JsonValue& value) { std::fprintf(out, "%s\n", JsonLine(value).c_str()); }
