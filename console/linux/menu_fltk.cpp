#include "console/linux/menu_fltk.h"

#include <cstdint>

#include "commands/menu_table.h"

namespace {

enum { MAX_MENU_DEPTH = 8 };

// Appends an empty item (all fields zero: also the end marker); nullptr when there is no room.
Fl_Menu_Item* Append(Fl_Menu_Item* items, int capacity, int& count) {
    if (count >= capacity) return nullptr;
    Fl_Menu_Item* item = &items[count++];
    *item = Fl_Menu_Item{};
    return item;
}

}  // namespace

int BuildMenuBarItems(Fl_Menu_Item* items, int capacity, Fl_Callback* callback) {
    int count = 0;
    int openDepth[MAX_MENU_DEPTH];  // depths of the pop-ups not yet ended
    int open = 0;
    for (int i = 0; i < MenuTableLength; ++i) {
        const MenuEntry& row = MenuTable[i];
        while (open > 0 && openDepth[open - 1] >= row.depth) {
            if (Append(items, capacity, count) == nullptr) return -1;
            --open;
        }
        int deepest = open > 0 ? openDepth[open - 1] + 1 : 0;
        if (row.depth != deepest) return -1;

        Fl_Menu_Item* item = Append(items, capacity, count);
        if (item == nullptr) return -1;
        item->text = row.label;
        if (row.kind == MENU_POPUP) {
            if (open >= MAX_MENU_DEPTH) return -1;
            item->flags = FL_SUBMENU;
            openDepth[open++] = row.depth;
        } else {
            item->callback_ = callback;
            item->user_data_ = reinterpret_cast<void*>(static_cast<std::uintptr_t>(row.id));
        }
    }
    for (; open >= 0; --open) {  // the open pop-ups, then the bar itself
        if (Append(items, capacity, count) == nullptr) return -1;
    }
    return count;
}

unsigned short MenuItemCommandId(const Fl_Menu_Item& item) {
    return static_cast<unsigned short>(reinterpret_cast<std::uintptr_t>(item.user_data_));
}
