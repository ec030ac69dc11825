// The window's menu that RebuildRecentMenu works on.
#pragma once

#include <windows.h>

// Where the "Open Recent" popup sits: the second item of the first menu of the bar.
#define FILE_MENU_POSITION 0
#define RECENT_POPUP_POSITION 1

// The main window hands its menu over at creation; NULL detaches it again (before the
// menu is destroyed).
void RecentMenuAttach(HMENU menu);
