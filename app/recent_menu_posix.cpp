#include "app/recent_files.h"

// Without a window system there is no menu to rebuild; the list is all there is.
void RebuildRecentMenu(void) {}
