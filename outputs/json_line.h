// JSON Lines, the one way every subcommand writes JSON (list, send, watch,
// check, ports).
#pragma once

#include <cstdio>
#include <string>

#include <nlohmann/json.hpp>

using JsonValue = nlohmann::ordered_json;

// `value` as one line of JSON text, without the newline. Text that is not UTF-8
// (a file name, a link's target, a string from sysfs, a name typed on the command
// line) has each byte that breaks it shown as U+FFFD; nothing in it ends the
// program. Line bytes go through JsonText first, which keeps every byte.
std::string JsonLine(const JsonValue& value);

// JsonLine(value) and a newline on `out`.
void PutJsonLine(std::FILE* out, const JsonValue& value);
