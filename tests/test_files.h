// Scratch files for tests, in a folder of the test's own that is removed afterwards.
#pragma once

#include <cstdio>
#include <string>
#include <vector>

// A path in the temporary folder, unique to this process and name.
std::string TestTempPath(const char* name);

// Writes bytes to path; returns false when the file could not be written.
bool TestWriteFile(const std::string& path, const std::vector<unsigned char>& bytes);

// Reads a whole file; empty when it cannot be read.
std::vector<unsigned char> TestReadFile(const std::string& path);

void TestRemoveFile(const std::string& path);
