#pragma once
// Writes a table's backup folder in the store format (manifest, description, metadata, chunks
// with their checksums) for tests of the restore side, and can damage it afterwards.
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/store/BackupFormat.h"

namespace testing_support {

class BackupFolder {
public:
    // Creates (or empties) `path`.
    explicit BackupFolder(std::string path) : m_path(std::move(path)) {
        std::string command = "rm -rf '" + m_path + "' && mkdir -p '" + m_path + "'";
        if (std::system(command.c_str()) != 0) throw std::runtime_error("cannot create " + m_path);
        manifest.account = "acct";
        manifest.table = "src";
        manifest.complete = true;
        manifest.restart = ":";
    }

    // Appends one chunk holding `text` (entity lines, each ending in a line feed).
    void addChunk(const std::string& text) {
        platform::store::ChunkInfo chunk;
        chunk.file = platform::store::chunkFileName(static_cast<unsigned>(manifest.chunks.size() + 1));
        chunk.bytes = text.size();
        for (char c : text) chunk.lines += c == '\n';
        chunk.crc32c = platform::store::crc32c(0, text.data(), text.size());
        write(chunk.file, text);
        manifest.chunks.push_back(chunk);
        ++manifest.pages;
    }
    // Writes the manifest, description and metadata files.
    void finish(const std::string& description = "{\"table\":{\"TableName\":\"src\"}}") {
        write(platform::store::kManifestFile, manifest.toJson());
        write(platform::store::kDescriptionFile, description);
        write(platform::store::kMetadataFile, manifest.metadataJson());
    }

    void write(const std::string& name, const std::string& contents) const {
        std::ofstream out(m_path + "/" + name, std::ios::binary | std::ios::trunc);
        out << contents;
    }
    std::string read(const std::string& name) const {
        std::ifstream in(m_path + "/" + name, std::ios::binary);
        return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    // Flips one byte of a file in place.
    void corrupt(const std::string& name, size_t offset) const {
        std::string contents = read(name);
        contents[offset] = static_cast<char>(contents[offset] ^ 0x20);
        write(name, contents);
    }
    void remove(const std::string& name) const { std::remove((m_path + "/" + name).c_str()); }

    const std::string& path() const { return m_path; }
    platform::store::BackupManifest manifest;

private:
    std::string m_path;
};

}  // namespace testing_support
