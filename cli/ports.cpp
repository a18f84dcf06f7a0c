// The parts of `ports` and of the open-failure explanations that are the same on
// every platform: words for the reasons, the group advice, the text table.
#include "cli/ports.h"

#include <algorithm>

#include "port/port.h"

const char* OpenFailureWords(int reason) {
    switch (reason) {
        case OPEN_ERROR_NO_DEVICE: return "no such device";
        case OPEN_ERROR_PERMISSION: return "permission denied";
        case OPEN_ERROR_BUSY: return "busy (held by another program)";
        case OPEN_ERROR_NOT_SERIAL: return "not a serial device";
        default: return "could not be opened";
    }
}

namespace {

// "rw-rw----" from the permission bits.
std::string ModeString(unsigned mode) {
    std::string text;
    for (int shift = 6; shift >= 0; shift -= 3) {
        text += (mode >> shift) & 4 ? 'r' : '-';
        text += (mode >> shift) & 2 ? 'w' : '-';
        text += (mode >> shift) & 1 ? 'x' : '-';
    }
    return text;
}

}  // namespace

std::string PermissionAdvice(const PermissionFacts& facts) {
    const bool groupMayOpen = (facts.mode & 060) == 060;
    if (!groupMayOpen || facts.groupIsRoot) {
        return "only its owner " + facts.owner + " may open it (" + ModeString(facts.mode) +
               "); an administrator can give it to group dialout with a udev rule";
    }
    if (facts.sessionHasGroup) {
        return "group " + facts.group + " may open it and this program runs with that group, "
               "so something other than the permissions refuses";
    }
    if (facts.userListsGroup) {
        return "you are in group " + facts.group + ", but this login began before you were added: "
               "log in again (or run `newgrp " + facts.group + "`)";
    }
    return "it belongs to group " + facts.group + ", which you are not in: run `sudo usermod -aG " +
           facts.group + " $USER`, then log in again";
}

void PrintTable(std::FILE* out, const std::vector<std::vector<std::string>>& rows) {
    std::vector<size_t> widths;
    for (const auto& row : rows) {
        if (row.size() > widths.size()) widths.resize(row.size(), 0);
        for (size_t i = 0; i + 1 < row.size(); ++i) widths[i] = std::max(widths[i], row[i].size());
    }
    for (const auto& row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) line += std::string(widths[i] - row[i].size() + 2, ' ');
        }
        while (!line.empty() && line.back() == ' ') line.pop_back();
        std::fprintf(out, "%s\n", line.c_str());
    }
}
