// POSIX file systems compare names exactly, so the stored name of an existing component
// is the name as given. '\' separators are turned into '/' for the system calls.
#include "app/command_line.h"

#include <climits>
#include <cstdlib>
#include <cstring>
#include <sys/stat.h>

static void ToPosixPath(const char* path, char* out, size_t size) {
    TextCopy(out, size, path);
    for (char* c = out; *c != '\0'; c++) {
        if (*c == '\\') {
            *c = '/';
        }
    }
}

int CommandLineFindStoredName(const char* path, char* name, size_t size) {
    char posixPath[PATH_SIZE];
    if (strlen(path) >= sizeof(posixPath)) {
        return 0;
    }
    ToPosixPath(path, posixPath, sizeof(posixPath));
    const char* last = strrchr(posixPath, '/');
    last = last != nullptr ? last + 1 : posixPath;
    // A bare separator names no entry, as a directory search on it finds none.
    if (*last == '\0') {
        return 0;
    }
    struct stat info;
    if (stat(posixPath, &info) != 0) {
        return 0;
    }
    TextCopy(name, size, last);
    return 1;
}

int CommandLineFullPath(const char* path, char* fullPath, size_t size) {
    char posixPath[PATH_SIZE];
    if (strlen(path) >= sizeof(posixPath)) {
        return 0;
    }
    ToPosixPath(path, posixPath, sizeof(posixPath));
    char resolved[PATH_MAX];
    if (realpath(posixPath, resolved) == nullptr || strlen(resolved) >= size) {
        return 0;
    }
    TextCopy(fullPath, size, resolved);
    return 1;
}

int CommandLineIsLeadByte(unsigned char) {
    return 0;
}
