#pragma once
// Helpers for store tests: a fresh folder per test, whole-file reads and writes.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "platform/store/BackupFormat.h"

namespace store_test {

class TempFolder {
public:
    TempFolder() {
        std::string pattern = ::testing::TempDir() + "/azt-store-XXXXXX";
        char* made = ::mkdtemp(&pattern[0]);
        EXPECT_NE(made, nullptr);
        m_path = pattern;
    }
    ~TempFolder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

private:
    std::string m_path;
};

inline std::string readAll(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

inline void writeAll(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::binary | std::ios::trunc);
    out << text;
}

inline platform::store::BackupManifest readManifest(const std::string& folder) {
    platform::store::BackupManifest m;
    std::string error;
    EXPECT_TRUE(platform::store::BackupManifest::fromJson(readAll(folder + "/backup.json"), m, error)) << error;
    return m;
}

}  // namespace store_test
