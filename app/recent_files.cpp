#include "app/recent_files.h"

#include "platform/text.h"
#include "settings/settings.h"

#include <cstring>

int RecentFileCount(void) {
    int count = g_settings.NumOfRecentFile;
    if (count < 0) {
        return 0;
    }
    return count > RECENT_FILE_COUNT ? RECENT_FILE_COUNT : count;
}

void AddRecentFile(const char* path) {
    // The caller may hand us one of the slots themselves (the popup's own commands), and
    // the shift below overwrites slots: work from a copy. Comparing the copy, cut to a
    // slot's size, also keeps an over-long path from being listed twice.
    char entry[PATH_SIZE];
    TextCopy(entry, sizeof(entry), path);

    int count = RecentFileCount();

    int at = -1;
    for (int i = 0; i < count; i++) {
        if (strcmp(g_settings.RecentFileName[i], entry) == 0) {
            at = i;
            break;
        }
    }
    if (at < 0) {
        if (count < RECENT_FILE_COUNT) {
            at = count;
            count++;
        } else {
            at = RECENT_FILE_COUNT - 1;
        }
    }
    for (int j = at - 1; j >= 0; j--) {
        memcpy(g_settings.RecentFileName[j + 1], g_settings.RecentFileName[j], PATH_SIZE);
    }
    memcpy(g_settings.RecentFileName[0], entry, PATH_SIZE);
    g_settings.NumOfRecentFile = count;

    RebuildRecentMenu();
}
