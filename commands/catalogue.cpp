#include "commands/catalogue.h"

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <cstring>

#include "commands/dispatch.h"
#include "link/transaction.h"

namespace {

bool SameAction(const Action& a, const Action& b) {
    if (a.kind != b.kind || a.args != b.args || a.reply != b.reply || a.a != b.a || a.b != b.b || a.c != b.c) {
        return false;
    }
    if (a.format == nullptr || b.format == nullptr) return a.format == b.format;
    return std::strcmp(a.format, b.format) == 0;
}

std::string LabelWithoutMnemonic(const char* label) {
    std::string text;
    for (const char* p = label; *p != '\0'; ++p) {
        if (*p != '&') text += *p;
    }
    return text;
}

std::vector<CatalogueItem> BuildCatalogue() {
    std::vector<CatalogueItem> items;
    std::vector<std::string> trail;  // the labels of the pop-ups above the current row
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& entry = MenuTable[i];
        trail.resize(entry.depth);
        std::string label = LabelWithoutMnemonic(entry.label);
        if (entry.kind == MENU_POPUP) {
            trail.push_back(label);
            continue;
        }
        std::string path;
        for (const std::string& part : trail) path += part + "/";
        // The bar item "                    (DOVK)" keeps its label; matching ignores spaces.
        path += label;
        char key = 0;
        for (int k = 0; k < HotKeyCount; ++k) {
            if (SameAction(HotKeyTable[k].action, entry.action)) key = static_cast<char>(HotKeyTable[k].keyCode);
        }
        items.push_back({&entry.action, entry.id, path, key});
    }
    for (int k = 0; k < HotKeyCount; ++k) {
        items.push_back({&HotKeyTable[k].action, 0, "", static_cast<char>(HotKeyTable[k].keyCode)});
    }
    return items;
}

// Edit distance, for suggesting the paths closest to an unknown name.
int Distance(const std::string& a, const std::string& b) {
    std::vector<int> row(b.size() + 1);
    for (size_t j = 0; j <= b.size(); ++j) row[j] = static_cast<int>(j);
    for (size_t i = 1; i <= a.size(); ++i) {
        int diagonal = row[0];
        row[0] = static_cast<int>(i);
        for (size_t j = 1; j <= b.size(); ++j) {
            int above = row[j];
            int cost = a[i - 1] == b[j - 1] ? 0 : 1;
            row[j] = std::min({row[j] + 1, row[j - 1] + 1, diagonal + cost});
            diagonal = above;
        }
    }
    return row[b.size()];
}

}  // namespace

const std::vector<CatalogueItem>& Catalogue() {
    static const std::vector<CatalogueItem> items = BuildCatalogue();
    return items;
}

std::string NormalisedName(const std::string& name) {
    std::string text;
    for (char c : name) {
        if (c == '&' || std::isspace(static_cast<unsigned char>(c))) continue;
        text += static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    }
    return text;
}

const CatalogueItem* FindCommand(const std::string& name) {
    std::string wanted = NormalisedName(name);
    if (wanted.empty()) return nullptr;
    if (wanted.rfind("key:", 0) == 0) {
        if (wanted.size() != 5) return nullptr;
        char key = static_cast<char>(std::toupper(static_cast<unsigned char>(wanted[4])));
        for (const CatalogueItem& item : Catalogue()) {
            if (item.id == 0 && item.key == key) return &item;
        }
        return nullptr;
    }
    if (std::all_of(wanted.begin(), wanted.end(), [](char c) { return std::isdigit(static_cast<unsigned char>(c)); })) {
        if (wanted.size() > 5) return nullptr;
        long id = std::strtol(wanted.c_str(), nullptr, 10);
        for (const CatalogueItem& item : Catalogue()) {
            if (item.id != 0 && item.id == id) return &item;
        }
        return nullptr;
    }
    for (const CatalogueItem& item : Catalogue()) {
        if (item.id != 0 && NormalisedName(item.path) == wanted) return &item;
    }
    return nullptr;
}

std::vector<std::string> ClosestPaths(const std::string& name, int most) {
    std::string wanted = NormalisedName(name);
    std::vector<std::pair<int, std::string>> scored;
    for (const CatalogueItem& item : Catalogue()) {
        if (item.id == 0) continue;
        std::string path = NormalisedName(item.path);
        int score = Distance(wanted, path);
        // A name that is the end of a path ("sale/read") is as good as a near miss.
        if (path.size() > wanted.size() && path.compare(path.size() - wanted.size(), wanted.size(), wanted) == 0 &&
            path[path.size() - wanted.size() - 1] == '/') {
            score = 1;
        }
        scored.push_back({score, item.path});
    }
    std::stable_sort(scored.begin(), scored.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    std::vector<std::string> best;
    for (const auto& entry : scored) {
        if (static_cast<int>(best.size()) >= most) break;
        best.push_back(entry.second);
    }
    return best;
}

std::vector<PlannedMessage> PlannedMessages(const CatalogueItem& item, const ConsoleSettings& settings) {
    std::vector<PlannedMessage> messages;
    int count = ActionMessageCount(*item.action);
    for (int i = 0; i < count; ++i) {
        char text[MESSAGE_BYTES];
        int reply = 0;
        if (FormatActionMessage(*item.action, settings, i, text, sizeof text, &reply) < 0) continue;
        messages.push_back({text, reply});
    }
    return messages;
}

bool IsSetting(const CatalogueItem& item) {
    switch (item.action->kind) {
        case ACTION_COM_PORT:
        case ACTION_BAUD_RATE:
        case ACTION_PUMP:
        case ACTION_PRESET_AMOUNT:
        case ACTION_PRICE_BASE: return true;
        default: return false;
    }
}
