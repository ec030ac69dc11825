#include "tests/test_files.h"

#include <cstdlib>

#ifdef _WIN32
#include <process.h>
#define orv_getpid _getpid
#else
#include <unistd.h>
#define orv_getpid getpid
#endif

std::string TestTempPath(const char* name) {
    const char* dir = std::getenv("TMPDIR");
#ifdef _WIN32
    if (dir == nullptr) {
        dir = std::getenv("TEMP");
    }
    if (dir == nullptr) {
        dir = ".";
    }
    const char sep = '\\';
#else
    if (dir == nullptr) {
        dir = "/tmp";
    }
    const char sep = '/';
#endif
    return std::string(dir) + sep + "orv_" + std::to_string(orv_getpid()) + "_" + name;
}

bool TestWriteFile(const std::string& path, const std::vector<unsigned char>& bytes) {
    FILE* f = std::fopen(path.c_str(), "wb");
    if (f == nullptr) {
        return false;
    }
    size_t n = bytes.empty() ? 0 : std::fwrite(bytes.data(), 1, bytes.size(), f);
    bool ok = std::fclose(f) == 0 && n == bytes.size();
    return ok;
}

std::vector<unsigned char> TestReadFile(const std::string& path) {
    std::vector<unsigned char> out;
    FILE* f = std::fopen(path.c_str(), "rb");
    if (f == nullptr) {
        return out;
    }
    unsigned char buf[4096];
    size_t n;
    while ((n = std::fread(buf, 1, sizeof buf, f)) > 0) {
        out.insert(out.end(), buf, buf + n);
    }
    std::fclose(f);
    return out;
}

void TestRemoveFile(const std::string& path) {
    std::remove(path.c_str());
}
