#pragma once
// Helpers for store tests: whole-file reads and writes (fresh folders: tests/support/TempFolder.h).
#include <gtest/gtest.h>

#include <fstream>
#include <sstream>
#include <string>

#include "platform/store/BackupFormat.h"
#include "tests/support/TempFolder.h"

namespace store_test {

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

// The manifest as written before checksums and "bounded" were recorded.
inline std::string legacyJson(platform::store::BackupManifest m) {
    m.descriptionFile = m.metadataFile = platform::store::FileChecksum();
    std::string text = m.toJson();
    text.erase(text.find(",\"bounded\":true"), 15);
    return text.substr(0, text.find(",\"manifestCrc32c\":")) + "}\n";
}

}  // namespace store_test
