// Small file helpers shared by the unit tests: a private directory removed with
// everything in it when the test ends, and whole-file read and write.
#pragma once

#include <stdlib.h>

#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <system_error>

namespace tolvane::test_support {

struct TempDir {
    std::filesystem::path path;
    explicit TempDir(const std::string& prefix = "tv") {
        std::string tmpl = (std::filesystem::temp_directory_path() / (prefix + "_XXXXXX")).string();
        path = ::mkdtemp(tmpl.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
    std::string str() const { return path.string(); }
    std::string file(const std::string& name) const { return (path / name).string(); }
};

// The whole file; empty when it cannot be read.
inline std::string slurp(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Replaces the file's content with data.
inline void spit(const std::filesystem::path& path, const std::string& data) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << data;
}

}  // namespace tolvane::test_support
