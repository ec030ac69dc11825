// The last nine system files the user chose, most recent first, and the "Open &Recent"
// popup that offers them. The list itself lives in the settings (count and slots), so it
// is loaded and saved with them.
#pragma once

// Puts path at the top of the list: a path already listed (exact, case-sensitive match)
// moves up without a duplicate; a new path pushes the others down, dropping the oldest
// when all nine slots are used. Then rebuilds the popup.
void AddRecentFile(const char* path);

// The number of listed files, 0 to 9, whatever the stored count says.
int RecentFileCount(void);

// Rebuilds the popup from the list. Harmless when no menu is attached or the menu has no
// recent-files popup (the user modes remove it).
void RebuildRecentMenu(void);
