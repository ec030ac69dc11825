// The window's menu that RebuildRecentMenu works on.
#pragma once

#include <windows.h>

// The main window hands its menu over at creation; NULL detaches it again (before the
// menu is destroyed).
void RecentMenuAttach(HMENU menu);
