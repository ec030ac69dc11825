// The program's arguments: the mode switches, the "do not activate" switch and a system
// file, resolved to the names under which the file system stores it.
#pragma once

#include "platform/text.h"

struct CommandLineArgs {
    char FileName[PATH_SIZE]; // full path of the file argument, empty when none resolved
    int NoActivate;           // /h: a running instance is not brought to the front
    int ModeOverride;         // /d0, /d1, /d2 for this run; -1 none
};

// Reads argv[1] .. argv[argc - 1] (argv[0] is the program) into args, which it first
// empties. Relative file arguments are resolved against the current directory, so this
// runs before anything changes it.
//
// An argument that begins with '/' is always a switch. Path components are separated by
// '\' and also by '/', which Windows accepts as well and a POSIX file system needs; a
// POSIX absolute path is therefore written with a leading '\'.
void ParseCommandLine(CommandLineArgs* args, int argc, char** argv);

// The operating-system half (command_line_win32.cpp / command_line_posix.cpp).

// Looks path up in the file system; 1 and the stored name of its last component in
// name (size bytes) when it exists, 0 otherwise.
int CommandLineFindStoredName(const char* path, char* name, size_t size);

// 1 and the absolute form of path in fullPath when it fits size bytes; 0 otherwise.
int CommandLineFullPath(const char* path, char* fullPath, size_t size);

// 1 when c begins a two-byte character in the user's code page; its second byte may then
// look like a path separator and must not be taken for one.
int CommandLineIsLeadByte(unsigned char c);
