#pragma once
// A fresh folder of its own under the test temp directory, removed with everything in it when the
// object goes, so tests running side by side never see each other's files.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <string>

namespace testing_support {

inline bool pathExists(const std::string& path) { return ::access(path.c_str(), F_OK) == 0; }

class TempFolder {
public:
    TempFolder() {
        std::string pattern = ::testing::TempDir() + "/azt-XXXXXX";
        if (::mkdtemp(&pattern[0]) == nullptr) ADD_FAILURE() << "cannot create " << pattern;
        m_path = pattern;
    }
    ~TempFolder() { std::system(("rm -rf '" + m_path + "'").c_str()); }
    TempFolder(const TempFolder&) = delete;
    TempFolder& operator=(const TempFolder&) = delete;

    const std::string& path() const { return m_path; }
    std::string file(const std::string& name) const { return m_path + "/" + name; }

    void write(const std::string& name, const std::string& contents) const {
        std::ofstream out(file(name), std::ios::binary | std::ios::trunc);
        out << contents;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(file(name), std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }

private:
    std::string m_path;
};

}  // namespace testing_support
