// vsb-writer: writes a system file from block descriptions on the command line, for
// trying the updater against the virtual instrument or a bench instrument.
#include "platform/text.h"
#include "sim/vsb_writer.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

static const char kUsage[] =
    "Usage: vsb-writer OUTPUT.vsb --block KEY=VALUE,... [--block ...] [--surplus N[:VALUE]]\n"
    "\n"
    "Writes a system file: each --block adds one block, a 256-byte header followed by\n"
    "its data. Blocks start from: device=ORVENT,name=MAIN,code=1,version=1.00,pid=3C,\n"
    "no member id, address=0,offset=0,size=0,fill=counter.\n"
    "\n"
    "Header keys:\n"
    "  device=TEXT        device name, at most 16 characters\n"
    "  name=TEXT          block name, at most 8 characters\n"
    "  code=N             block code\n"
    "  version=M.mm       version as shown (1.05: major 1, minor 5); or major=N, minor=N\n"
    "  pid=HEX            product id, 1 to 3 bytes: 3C, 3C:12, 00:12:34 (absent bytes FF)\n"
    "  member=N           member id (128 or above: absent)\n"
    "  address=N offset=N size=N\n"
    "  reserved40=N reserved52=N\n"
    "Data keys:\n"
    "  fill=counter       byte i is i & 0xFF\n"
    "  fill=random        pseudo-random bytes; seed=N picks the set\n"
    "  fill=N             every byte N\n"
    "  file=PATH          the first size bytes of PATH (size defaults to its length)\n"
    "  run=START:LENGTH:VALUE\n"
    "                     bytes START.. become VALUE (up to 16 runs), for fill packets\n"
    "Damage:\n"
    "  magic=bad          magic string with its last letter in lower case\n"
    "  header=N           only N header bytes are written, and none of the data\n"
    "  missing=N          the block's last N data bytes are left out\n"
    "  --surplus N[:VALUE] N bytes of VALUE (default 0) after the last block\n"
    "\n"
    "Numbers are decimal or 0x hexadecimal. Example:\n"
    "  vsb-writer out.vsb --block device=ORVENT,name=MAIN,code=1,version=1.05,pid=3C,"
    "size=4096,fill=counter\n";

static int ParseSurplus(const char* text, uint32_t* bytes, unsigned char* value) {
    char copy[64];
    if (strlen(text) >= sizeof copy) {
        return 0;
    }
    TextCopy(copy, sizeof copy, text);
    char* colon = strchr(copy, ':');
    unsigned long long parsedValue = 0;
    if (colon != nullptr) {
        *colon = 0;
        char* end = nullptr;
        parsedValue = strtoull(colon + 1, &end, 0);
        if (colon[1] < '0' || colon[1] > '9' || *end != 0 || parsedValue > 255) {
            return 0;
        }
    }
    char* end = nullptr;
    unsigned long long parsedBytes = strtoull(copy, &end, 0);
    if (copy[0] < '0' || copy[0] > '9' || *end != 0 || parsedBytes > 0xFFFFFFFFull) {
        return 0;
    }
    *bytes = (uint32_t)parsedBytes;
    *value = (unsigned char)parsedValue;
    return 1;
}

int main(int argc, char** argv) {
    static VsbBlock blocks[VSB_MAX_BLOCKS];
    int blockCount = 0;
    const char* output = nullptr;
    uint32_t surplusBytes = 0;
    unsigned char surplusValue = 0;
    char errorText[TEXT_SIZE];

    for (int i = 1; i < argc; i++) {
        const char* argument = argv[i];
        if (strcmp(argument, "--help") == 0 || strcmp(argument, "-h") == 0) {
            fputs(kUsage, stdout);
            return 0;
        }
        if (strcmp(argument, "--block") == 0 || strcmp(argument, "--surplus") == 0) {
            if (i + 1 >= argc) {
                fprintf(stderr, "vsb-writer: %s needs a value.\n", argument);
                return 2;
            }
            const char* value = argv[++i];
            if (strcmp(argument, "--surplus") == 0) {
                if (!ParseSurplus(value, &surplusBytes, &surplusValue)) {
                    fprintf(stderr, "vsb-writer: bad value for --surplus.\n");
                    return 2;
                }
                continue;
            }
            if (blockCount == VSB_MAX_BLOCKS) {
                fprintf(stderr, "vsb-writer: at most %d blocks.\n", VSB_MAX_BLOCKS);
                return 2;
            }
            VsbBlockDefaults(&blocks[blockCount]);
            if (!VsbParseBlockDescription(value, &blocks[blockCount], errorText)) {
                fprintf(stderr, "vsb-writer: block %d: %s\n", blockCount + 1, errorText);
                return 2;
            }
            blockCount++;
            continue;
        }
        if (argument[0] == '-' || output != nullptr) {
            fprintf(stderr, "vsb-writer: unexpected argument \"%s\" (see --help).\n", argument);
            return 2;
        }
        output = argument;
    }
    if (output == nullptr || blockCount == 0) {
        fputs(kUsage, stderr);
        return 2;
    }
    if (!VsbWriteFile(output, blocks, blockCount, surplusBytes, surplusValue, errorText)) {
        fprintf(stderr, "vsb-writer: %s\n", errorText);
        return 1;
    }
    printf("%s: %d block(s), %llu bytes\n", output, blockCount,
           (unsigned long long)VsbFileLength(blocks, blockCount, surplusBytes));
    return 0;
}
