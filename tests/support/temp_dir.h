// Files for tests: a private directory that disappears with the test, and a
// holder that keeps a file locked as another running program would.
#ifndef PT_TESTS_TEMP_DIR_H
#define PT_TESTS_TEMP_DIR_H

#include <string>
#include <vector>

#include "platform/platform.h"

class TempDir {
public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir &) = delete;
    TempDir &operator=(const TempDir &) = delete;
    const std::string &path() const { return m_path; }
    std::string file(const std::string &name) const;

private:
    std::string m_path;
};

// Where the libraries, the driver stand-in and the server stub were built;
// the path of the shared library of that base name there.
std::string BinDir();
std::string LibraryPath(const char *name = "pt_vector");

std::vector<std::string> ReadLines(const std::string &path);
void WriteText(const std::string &path, const std::string &text);

// Holds a file open without sharing (an exclusive lock where Windows' sharing
// modes do not exist).
class FileHolder {
public:
    explicit FileHolder(const std::string &path);
    ~FileHolder();
    FileHolder(const FileHolder &) = delete;
    FileHolder &operator=(const FileHolder &) = delete;

private:
    void *m_handle;
};

#endif
