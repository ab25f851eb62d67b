#pragma once
// Writes a table's backup folder in the store format (manifest, description, metadata, chunks
// with their checksums) in a temp folder of its own for tests of the restore side, and can
// damage it afterwards.
#include <cstdio>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/store/BackupFormat.h"
#include "platform/store/BackupReader.h"
#include "tests/support/TempFolder.h"

namespace testing_support {

// Every entity line a backup folder holds, read back through the verifying reader; a folder that
// cannot be opened or read fails the calling test. With `manifest`, the folder's manifest is put
// there and the whole folder must pass verify() as well.
inline std::vector<std::string> readBackupLines(const std::string& folder, bool allowIncomplete = false,
                                                platform::store::BackupManifest* manifest = nullptr) {
    std::string error;
    auto reader = platform::store::BackupReader::open(folder, error, platform::store::posixFileSystem(),
                                                      allowIncomplete);
    EXPECT_TRUE(reader) << error;
    std::vector<std::string> lines;
    if (!reader) return lines;
    if (manifest) *manifest = reader->manifest();
    EXPECT_TRUE(!manifest || reader->verify(error)) << error;
    std::string line;
    while (reader->nextLine(line)) lines.push_back(line);
    EXPECT_FALSE(reader->error()) << reader->errorMessage();
    return lines;
}

class BackupFolder : public TempFolder {
public:
    BackupFolder() {
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
    // Writes the description and metadata files and the manifest recording their checksums.
    void finish(const std::string& description = "{\"table\":{\"TableName\":\"src\"}}") {
        manifest.descriptionFile = platform::store::FileChecksum::of(description);
        manifest.metadataFile = platform::store::FileChecksum::of(manifest.metadataJson());
        write(platform::store::kManifestFile, manifest.toJson());
        write(platform::store::kDescriptionFile, description);
        write(platform::store::kMetadataFile, manifest.metadataJson());
    }

    // Flips one byte of a file in place.
    void corrupt(const std::string& name, size_t offset) const {
        std::string contents = read(name);
        contents[offset] = static_cast<char>(contents[offset] ^ 0x20);
        write(name, contents);
    }

    void remove(const std::string& name) const { std::remove(file(name).c_str()); }

    platform::store::BackupManifest manifest;
};

}  // namespace testing_support
