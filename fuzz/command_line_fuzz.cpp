// The command line with any bytes as arguments, and the assembly of a file name handed
// over in CMD_FILE_NAME_PART pieces with any offsets, order and bytes.
//
// The file-system half of the command line is answered here, without touching the disk:
// every component exists unless it holds '?', its stored name is the name typed plus an
// alias tail the input chooses (to make stored names longer than typed ones), and the
// code page has two-byte characters whose second byte may look like a separator.
#include "app/command_line.h"
#include "app/file_name_parts.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

namespace {

size_t s_aliasLength = 0;

void Check(int condition) {
    if (!condition) {
        abort();
    }
}

int IsSeparator(char c) {
    return c == '\\' || c == '/';
}

// Where the last component of path begins, two-byte characters kept whole.
size_t LastComponent(const char* path) {
    size_t start = 0;
    size_t i = 0;
    while (path[i] != '\0') {
        if (IsSeparator(path[i])) {
            start = i + 1;
            i++;
        } else if (CommandLineIsLeadByte((unsigned char)path[i]) && path[i + 1] != '\0') {
            i += 2;
        } else {
            i++;
        }
    }
    return start;
}

void ParseArguments(const uint8_t* data, size_t size) {
    // Each argument in its own exactly sized block, so a read past its end is caught.
    std::vector<char*> argv;
    argv.push_back(strdup("updater"));
    size_t start = 0;
    for (size_t i = 0; i <= size && argv.size() < 32; i++) {
        if (i == size || data[i] == 0) {
            char* arg = (char*)malloc(i - start + 1);
            memcpy(arg, data + start, i - start);
            arg[i - start] = '\0';
            argv.push_back(arg);
            start = i + 1;
        }
    }
    CommandLineArgs args;
    memset(&args, 0x5A, sizeof(args));
    ParseCommandLine(&args, (int)argv.size(), argv.data());
    Check(memchr(args.FileName, '\0', sizeof(args.FileName)) != nullptr);
    Check(args.NoActivate == 0 || args.NoActivate == 1);
    Check(args.ModeOverride >= -1 && args.ModeOverride <= 2);
    for (char* arg : argv) {
        free(arg);
    }
}

void AssemblePieces(const uint8_t* data, size_t size) {
    char* assembly = (char*)malloc(PATH_SIZE);
    memset(assembly, 'x', PATH_SIZE);
    for (size_t pos = 0; pos + 8 <= size; pos += 8) {
        uint32_t wParam = 0;
        int32_t lParam = 0;
        memcpy(&wParam, data + pos, 4);
        memcpy(&lParam, data + pos + 4, 4);
        int result = FileNamePartStore(assembly, wParam, lParam);
        Check(result >= FILE_NAME_PART_IGNORED && result <= FILE_NAME_PART_COMPLETE);
        if (result != FILE_NAME_PART_COMPLETE) {
            continue;
        }
        Check(memchr(assembly, '\0', PATH_SIZE) != nullptr);
        // What was assembled goes through a hand-over again unchanged: cut into pieces
        // and stored in order, only the last piece completes it.
        FileNamePart parts[FILE_NAME_PART_MAX];
        int count = FileNamePartsMake(assembly, parts);
        Check(count >= 0 && count <= FILE_NAME_PART_MAX);
        char* copy = (char*)malloc(PATH_SIZE);
        memset(copy, 'y', PATH_SIZE);
        for (int i = 0; i < count; i++) {
            int stored =
                FileNamePartStore(copy, parts[i].wParam, (intptr_t)(int32_t)parts[i].lParam);
            Check(stored == (i == count - 1 ? FILE_NAME_PART_COMPLETE : FILE_NAME_PART_STORED));
        }
        if (count > 0) {
            Check(strcmp(copy, assembly) == 0);
        } else {
            Check(assembly[0] == '\0');
        }
        free(copy);
    }
    free(assembly);
}

} // namespace

int CommandLineIsLeadByte(unsigned char c) {
    return (c >= 0x81 && c <= 0x9F) || (c >= 0xE0 && c <= 0xFC);
}

int CommandLineFindStoredName(const char* path, char* name, size_t size) {
    size_t length = strlen(path);
    Check(length < PATH_SIZE);
    if (strchr(path, '?') != nullptr) {
        return 0;
    }
    const char* component = path + LastComponent(path);
    size_t componentLength = strlen(component);
    if (componentLength + s_aliasLength + 1 > size) {
        return 0;
    }
    memcpy(name, component, componentLength);
    memset(name + componentLength, '~', s_aliasLength);
    name[componentLength + s_aliasLength] = '\0';
    return 1;
}

int CommandLineFullPath(const char* path, char* fullPath, size_t size) {
    const char* base = IsSeparator(path[0]) || (path[0] && path[1] == ':') ? "" : "C:\\work\\";
    size_t need = strlen(base) + strlen(path) + 1;
    if (need > size) {
        return 0;
    }
    memcpy(fullPath, base, strlen(base));
    memcpy(fullPath + strlen(base), path, strlen(path) + 1);
    return 1;
}

// Input: [alias length] then the arguments, separated by 0 bytes; the same bytes, eight
// at a time, are also the pieces of a handed-over name.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) {
        return 0;
    }
    s_aliasLength = data[0] % 16;
    ParseArguments(data + 1, size - 1);
    AssemblePieces(data + 1, size - 1);
    return 0;
}
