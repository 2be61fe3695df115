#include "temp_dir.h"

#include <atomic>
#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>

namespace fs = std::filesystem;

TempDir::TempDir() {
    static std::atomic<unsigned> counter{0};
    auto stamp = std::chrono::steady_clock::now().time_since_epoch().count();
    std::ostringstream name;
    name << "pt_vector_test_" << plat::CurrentThreadId() << "_" << stamp << "_" << counter++;
    fs::path dir = fs::temp_directory_path() / name.str();
    fs::create_directories(dir);
    m_path = dir.string();
}

TempDir::~TempDir() {
    std::error_code ignored;
    fs::permissions(m_path, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::recursive_directory_iterator it(m_path, ignored), end;
    while (!ignored && it != end) {
        fs::permissions(it->path(), fs::perms::owner_all, fs::perm_options::add, ignored);
        it.increment(ignored);
    }
    fs::remove_all(m_path, ignored);
}

std::string TempDir::file(const std::string &name) const {
    return (fs::path(m_path) / fs::path(name)).make_preferred().string();
}

std::string BinDir() {
    if (const char *dir = std::getenv("PT_BIN_DIR")) return dir;
    char exe[4096];
    if (plat::ExecutableFileName(exe, sizeof exe)) return fs::path(exe).parent_path().string();
    return fs::current_path().string();
}

std::string LibraryPath(const char *name) {
    return (fs::path(BinDir()) / (std::string(plat::SharedLibraryPrefix()) + name + plat::SharedLibrarySuffix()))
        .string();
}

std::vector<std::string> ReadLines(const std::string &path) {
    std::ifstream in(path);
    std::vector<std::string> lines;
    std::string line;
    while (std::getline(in, line)) {
        if (!line.empty() && line.back() == '\r') line.pop_back();
        lines.push_back(line);
    }
    return lines;
}

void WriteText(const std::string &path, const std::string &text) {
    std::ofstream out(path, std::ios::binary);
    out << text;
}

FileHolder::FileHolder(const std::string &path) : m_handle(plat::HoldFileExclusively(path.c_str())) {}
FileHolder::~FileHolder() { plat::ReleaseFile(m_handle); }
