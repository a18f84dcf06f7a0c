// The menu bar of the Linux front end, made from the command table's menu tree.
#pragma once

#include <FL/Fl_Menu_Item.H>

// Room for the tree: 7 bar entries' worth of 43 pop-ups and 204 items, one end
// marker per pop-up and one for the bar, with some to spare.
enum { MENU_BAR_ITEMS = 320 };

// Fills `items` (room for `capacity`) with the tree of MenuTable as an FLTK menu:
// a pop-up becomes a submenu item followed by its rows and an end marker, a
// command item gets `callback` with its command id as user data. Labels are used
// as they stand ('&' marks the mnemonic; '/' and '_' are plain characters in an
// item array). Returns the number of items written, end markers included, or -1
// when the tree does not fit or its depths are not a tree.
int BuildMenuBarItems(Fl_Menu_Item* items, int capacity, Fl_Callback* callback);

// The command id an item built above carries.
unsigned short MenuItemCommandId(const Fl_Menu_Item& item);
