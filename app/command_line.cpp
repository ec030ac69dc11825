#include "app/command_line.h"

#include <cstring>

static int IsPathSeparator(char c) {
    return c == '\\' || c == '/';
}

// Index of the first separator at or after start, or the length of the argument.
static size_t FindSeparator(const char* arg, size_t start) {
    size_t i = 0;
    // Walk from the beginning: a two-byte character's second byte is only recognisable
    // as such from its first.
    while (arg[i] != '\0') {
        if (i >= start && IsPathSeparator(arg[i])) {
            return i;
        }
        if (CommandLineIsLeadByte((unsigned char)arg[i]) && arg[i + 1] != '\0') {
            i += 2;
        } else {
            i += 1;
        }
    }
    return i;
}

static int IsDotComponent(const char* component, size_t length) {
    return (length == 1 && component[0] == '.') ||
           (length == 2 && component[0] == '.' && component[1] == '.');
}

static void ParseSwitch(CommandLineArgs* args, const char* arg) {
    char letter = arg[1];
    if (letter >= 'A' && letter <= 'Z') {
        letter = (char)(letter - 'A' + 'a');
    }
    if (letter == 'd') {
        if (arg[2] >= '0' && arg[2] <= '2') {
            args->ModeOverride = arg[2] - '0';
        }
    } else if (letter == 'h') {
        args->NoActivate = 1;
    }
}

// Builds the file's path from the names the file system stores for each of its
// components, so that a name typed in other letter cases is shown and remembered as it
// really is. Returns 1 and the full path in fileName when every component exists.
static int ResolveFilePath(const char* arg, char* fileName, size_t size) {
    size_t length = strlen(arg);
    if (length >= PATH_SIZE) {
        return 0;
    }

    char result[PATH_SIZE] = "";
    size_t componentStart = 0;
    if (IsPathSeparator(arg[0])) {
        TextCopy(result, sizeof(result), "\\");
        componentStart = 1;
    } else if (arg[0] != '\0' && arg[1] == ':' && IsPathSeparator(arg[2])) {
        TextCopy(result, 4, arg);
        componentStart = 3;
    }

    char prefix[PATH_SIZE];
    for (;;) {
        size_t end = FindSeparator(arg, componentStart);
        TextCopy(prefix, end + 1, arg);
        char stored[PATH_SIZE];
        if (!CommandLineFindStoredName(prefix, stored, sizeof(stored))) {
            return 0;
        }
        // "." and ".." are steps, not names: a directory search answers them with the name
        // of the folder they lead to, which would put that folder into the path twice.
        size_t componentLength = end - componentStart;
        if (IsDotComponent(arg + componentStart, componentLength)) {
            TextCopy(stored, componentLength + 1, arg + componentStart);
        }
        // A stored name longer than the one typed (a short 8.3 alias) could overflow the
        // path; a cut path would name another file, so such an argument sets nothing.
        int last = arg[end] == '\0';
        if (strlen(result) + strlen(stored) + (last ? 0 : 1) >= sizeof(result)) {
            return 0;
        }
        TextAppend(result, sizeof(result), stored);
        if (last) {
            break;
        }
        TextAppend(result, sizeof(result), "\\");
        componentStart = end + 1;
    }

    char fullPath[PATH_SIZE];
    if (!CommandLineFullPath(result, fullPath, sizeof(fullPath))) {
        return 0;
    }
    TextCopy(fileName, size, fullPath);
    return 1;
}

void ParseCommandLine(CommandLineArgs* args, int argc, char** argv) {
    args->FileName[0] = '\0';
    args->NoActivate = 0;
    args->ModeOverride = -1;
    for (int i = 1; i < argc; i++) {
        const char* arg = argv[i];
        if (arg == nullptr) {
            continue;
        }
        if (arg[0] == '/') {
            ParseSwitch(args, arg);
            continue;
        }
        // A later file that resolves replaces an earlier one; one that does not keeps it.
        ResolveFilePath(arg, args->FileName, sizeof(args->FileName));
    }
}
