#include "platform/platform_file.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

PlatformFile PlatformFileOpenRead(const char* path) {
    int fd = open(path, O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return PLATFORM_FILE_NONE;
    }
    // A shared advisory lock: whoever locks the file to write it (exclusively) is kept
    // out while it is read, and a reader while it is written, but readers do not keep each
    // other out: info on the file an update is sending, two instruments updated from one
    // file at once.
    if (flock(fd, LOCK_SH | LOCK_NB) != 0) {
        close(fd);
        return PLATFORM_FILE_NONE;
    }
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        close(fd);
        return PLATFORM_FILE_NONE;
    }
    return (PlatformFile)fd;
}

int PlatformFileRead(PlatformFile file, void* buffer, uint32_t count) {
    if (file == PLATFORM_FILE_NONE) {
        return -1;
    }
    unsigned char* out = static_cast<unsigned char*>(buffer);
    uint32_t done = 0;
    // read() may return less than asked for without being at the end; keep going so a
    // short count always means the end of the file, as it does on Windows.
    while (done < count) {
        ssize_t n = read((int)file, out + done, count - done);
        if (n < 0) {
            return -1;
        }
        if (n == 0) {
            break;
        }
        done += (uint32_t)n;
    }
    return (int)done;
}

int64_t PlatformFilePosition(PlatformFile file) {
    if (file == PLATFORM_FILE_NONE) {
        return -1;
    }
    return (int64_t)lseek((int)file, 0, SEEK_CUR);
}

int64_t PlatformFileLength(PlatformFile file) {
    if (file == PLATFORM_FILE_NONE) {
        return -1;
    }
    struct stat st;
    if (fstat((int)file, &st) != 0) {
        return -1;
    }
    return (int64_t)st.st_size;
}

int PlatformFileSeek(PlatformFile file, int64_t position) {
    if (file == PLATFORM_FILE_NONE || position < 0) {
        return 0;
    }
    return lseek((int)file, (off_t)position, SEEK_SET) == (off_t)position ? 1 : 0;
}

void PlatformFileClose(PlatformFile* file) {
    if (*file != PLATFORM_FILE_NONE) {
        close((int)*file);
        *file = PLATFORM_FILE_NONE;
    }
}
