#include "app/recent_files.h"
#include "app/recent_menu_win32.h"

#include "platform/text.h"
#include "resources/resource_ids.h"
#include "settings/settings.h"

#include <cstring>
#include <windows.h>

// The popup's item text: "&%d " and a path in which every '&' is doubled.
#define RECENT_ITEM_TEXT_SIZE (8 + 2 * PATH_SIZE)

struct RecentMenuState {
    HMENU menu; // the main window's menu bar; NULL until the window attaches it
};

static RecentMenuState g_recentMenu = {NULL};

void RecentMenuAttach(HMENU menu) {
    g_recentMenu.menu = menu;
}

// A path is shown as it is: a '&' in a file name would otherwise vanish from the item
// and underline the letter after it.
static void FormatRecentItem(char* text, size_t size, int number, const char* path) {
    TextFormat(text, size, "&%d ", number);
    size_t used = strlen(text);
    for (const char* p = path; *p != '\0' && used + 1 < size; p++) {
        if (*p == '&') {
            if (used + 2 >= size) {
                break;
            }
            text[used++] = '&';
        }
        text[used++] = *p;
    }
    text[used] = '\0';
}

void RebuildRecentMenu(void) {
    if (g_recentMenu.menu == NULL) {
        return;
    }
    HMENU fileMenu = GetSubMenu(g_recentMenu.menu, FILE_MENU_POSITION);
    if (fileMenu == NULL) {
        return;
    }
    // In the user modes the popup has been removed and position 1 is the separator,
    // which must be left alone.
    HMENU popup = GetSubMenu(fileMenu, RECENT_POPUP_POSITION);
    if (popup == NULL) {
        return;
    }
    int count = RecentFileCount();
    if (count == 0) {
        // The old items stay: for a list that has never held anything that is "None".
        EnableMenuItem(fileMenu, RECENT_POPUP_POSITION, MF_BYPOSITION | MF_GRAYED);
        return;
    }
    EnableMenuItem(fileMenu, RECENT_POPUP_POSITION, MF_BYPOSITION | MF_ENABLED);
    for (int position = RECENT_FILE_COUNT - 1; position >= 0; position--) {
        DeleteMenu(popup, (UINT)position, MF_BYPOSITION);
    }
    for (int i = 0; i < count; i++) {
        char text[RECENT_ITEM_TEXT_SIZE];
        FormatRecentItem(text, sizeof(text), i + 1, g_settings.RecentFileName[i]);
        MENUITEMINFOA item = {};
        item.cbSize = sizeof(item);
        item.fMask = MIIM_ID | MIIM_STRING;
        item.wID = (UINT)(IDM_RECENT_FIRST + i);
        item.dwTypeData = text;
        InsertMenuItemA(popup, (UINT)i, TRUE, &item);
    }
}
