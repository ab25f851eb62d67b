#include "platform/store/BackupFormat.h"

#include <cstdio>
#include <cstring>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace platform {
namespace store {

std::string chunkFileName(unsigned index) {
    char name[32];
    std::snprintf(name, sizeof name, "data-%06u.jsonl", index);
    return name;
}

bool isDataFileName(const std::string& name) {
    static const std::string prefix = "data-", suffix = ".jsonl";
    return name.size() >= prefix.size() + suffix.size() && name.compare(0, prefix.size(), prefix) == 0 &&
           name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0;
}

namespace {

struct Crc32cTable {
    uint32_t entries[8][256];
    Crc32cTable() {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t crc = i;
            for (int bit = 0; bit < 8; ++bit) crc = (crc >> 1) ^ (0x82F63B78u & (0u - (crc & 1u)));
            entries[0][i] = crc;
        }
        for (uint32_t i = 0; i < 256; ++i)
            for (int t = 1; t < 8; ++t) entries[t][i] = (entries[t - 1][i] >> 8) ^ entries[0][entries[t - 1][i] & 0xFF];
    }
};

const Crc32cTable& table() {
    static const Crc32cTable t;
    return t;
}

}  // namespace

uint32_t crc32cTable(uint32_t crc, const void* data, size_t size) {
    const auto& t = table().entries;
    const auto* p = static_cast<const unsigned char*>(data);
    crc = ~crc;
    // Eight bytes at a time (slicing-by-8): the checksum must not slow the backup down.
    while (size >= 8) {
        uint32_t low = crc ^ (uint32_t(p[0]) | uint32_t(p[1]) << 8 | uint32_t(p[2]) << 16 | uint32_t(p[3]) << 24);
        crc = t[7][low & 0xFF] ^ t[6][(low >> 8) & 0xFF] ^ t[5][(low >> 16) & 0xFF] ^ t[4][low >> 24] ^
              t[3][p[4]] ^ t[2][p[5]] ^ t[1][p[6]] ^ t[0][p[7]];
        p += 8;
        size -= 8;
    }
    while (size--) crc = (crc >> 8) ^ t[0][(crc ^ *p++) & 0xFF];
    return ~crc;
}

#if defined(__x86_64__) && (defined(__GNUC__) || defined(__clang__))

bool crc32cHardwareAvailable() {
    static const bool available = __builtin_cpu_supports("sse4.2");
    return available;
}

namespace {

// Appending n zero bytes to a message maps its (non-inverted) CRC linearly: shifting by a fixed
// length is four table look-ups, one per byte of the CRC. This lets three lanes of a block be
// summed at once and joined after (the instruction's latency is three times its throughput).
constexpr size_t kLane = 4096;  // bytes per lane in a block of three

struct Crc32cShift {
    uint32_t entries[4][256];
    explicit Crc32cShift(size_t bytes) {
        // The operator of one zero bit, then squared until it is that of `bytes` zero bytes: a
        // 32x32 matrix over GF(2), column i the image of bit i.
        uint32_t op[32], square[32];
        op[0] = 0x82F63B78u;
        for (int i = 1; i < 32; ++i) op[i] = 1u << (i - 1);
        auto times = [](const uint32_t* matrix, uint32_t vector) {
            uint32_t sum = 0;
            for (int i = 0; vector; ++i, vector >>= 1)
                if (vector & 1) sum ^= matrix[i];
            return sum;
        };
        auto squareInto = [&](uint32_t* out, const uint32_t* in) {
            for (int i = 0; i < 32; ++i) out[i] = times(in, in[i]);
        };
        // op is one bit; three squarings make it one byte.
        for (int i = 0; i < 3; ++i) {
            squareInto(square, op);
            std::memcpy(op, square, sizeof op);
        }
        // result = op^bytes by repeated squaring.
        uint32_t result[32];
        for (int i = 0; i < 32; ++i) result[i] = 1u << i;
        for (size_t n = bytes; n; n >>= 1) {
            if (n & 1) {
                uint32_t product[32];
                for (int i = 0; i < 32; ++i) product[i] = times(op, result[i]);
                std::memcpy(result, product, sizeof result);
            }
            squareInto(square, op);
            std::memcpy(op, square, sizeof op);
        }
        for (uint32_t n = 0; n < 256; ++n)
            for (int b = 0; b < 4; ++b) entries[b][n] = times(result, n << (8 * b));
    }
    uint32_t operator()(uint32_t crc) const {
        return entries[0][crc & 0xFF] ^ entries[1][(crc >> 8) & 0xFF] ^ entries[2][(crc >> 16) & 0xFF] ^
               entries[3][crc >> 24];
    }
};

const Crc32cShift& laneShift() {
    static const Crc32cShift shift(kLane);
    return shift;
}

}  // namespace

// Built for SSE4.2 on its own, so the rest of the library still runs on processors without it.
__attribute__((target("sse4.2"))) uint32_t crc32cHardware(uint32_t crc, const void* data, size_t size) {
    const auto* p = static_cast<const unsigned char*>(data);
    uint64_t state = ~crc;
    while (size > 0 && (reinterpret_cast<uintptr_t>(p) & 7) != 0) {
        state = __builtin_ia32_crc32qi(static_cast<uint32_t>(state), *p++);
        --size;
    }
    if (size >= 3 * kLane) {
        const Crc32cShift& shift = laneShift();
        do {
            uint64_t second = 0, third = 0;
            for (const unsigned char* end = p + kLane; p < end; p += 8) {
                uint64_t a, b, c;
                std::memcpy(&a, p, 8);
                std::memcpy(&b, p + kLane, 8);
                std::memcpy(&c, p + 2 * kLane, 8);
                state = __builtin_ia32_crc32di(state, a);
                second = __builtin_ia32_crc32di(second, b);
                third = __builtin_ia32_crc32di(third, c);
            }
            state = shift(static_cast<uint32_t>(state)) ^ static_cast<uint32_t>(second);
            state = shift(static_cast<uint32_t>(state)) ^ static_cast<uint32_t>(third);
            p += 2 * kLane;
            size -= 3 * kLane;
        } while (size >= 3 * kLane);
    }
    while (size >= 8) {
        uint64_t word;
        std::memcpy(&word, p, 8);
        state = __builtin_ia32_crc32di(state, word);
        p += 8;
        size -= 8;
    }
    while (size--) state = __builtin_ia32_crc32qi(static_cast<uint32_t>(state), *p++);
    return ~static_cast<uint32_t>(state);
}

#else

bool crc32cHardwareAvailable() { return false; }
uint32_t crc32cHardware(uint32_t crc, const void* data, size_t size) { return crc32cTable(crc, data, size); }

#endif

uint32_t crc32c(uint32_t crc, const void* data, size_t size) {
    return crc32cHardwareAvailable() ? crc32cHardware(crc, data, size) : crc32cTable(crc, data, size);
}

uint64_t countLineFeeds(const char* data, size_t size) {
    uint64_t lines = 0;
    for (const char *at = data, *end = data + size;
         (at = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)))); ++at)
        ++lines;
    return lines;
}

FileChecksum FileChecksum::of(const std::string& contents) {
    FileChecksum sum;
    sum.present = true;
    sum.bytes = contents.size();
    sum.crc32c = store::crc32c(0, contents.data(), contents.size());
    return sum;
}

bool FileChecksum::matches(const std::string& contents) const {
    return contents.size() == bytes && store::crc32c(0, contents.data(), contents.size()) == crc32c;
}

uint64_t BackupManifest::totalLines() const {
    uint64_t n = 0;
    for (const auto& c : chunks) n += c.lines;
    return n;
}

uint64_t BackupManifest::totalBytes() const {
    uint64_t n = 0;
    for (const auto& c : chunks) n += c.bytes;
    return n;
}

namespace {

using Writer = rapidjson::Writer<rapidjson::StringBuffer>;

void writeCoverage(Writer& w, const BackupManifest& m) {
    w.Key("account");
    w.String(m.account);
    w.Key("table");
    w.String(m.table);
    w.Key("kind");
    w.String(m.incremental ? "incremental" : "full");
    w.Key("fromTime");
    w.Int64(m.fromTime);
    w.Key("toTime");
    w.Int64(m.toTime);
}

void writeChecksum(Writer& w, const char* key, const FileChecksum& sum) {
    if (!sum.present) return;
    w.Key(key);
    w.StartObject();
    w.Key("bytes");
    w.Uint64(sum.bytes);
    w.Key("crc32c");
    w.Uint(sum.crc32c);
    w.EndObject();
}

void writeChunk(Writer& w, const ChunkInfo& c) {
    w.StartObject();
    w.Key("file");
    w.String(c.file);
    w.Key("bytes");
    w.Uint64(c.bytes);
    w.Key("lines");
    w.Uint64(c.lines);
    w.Key("crc32c");
    w.Uint(c.crc32c);
    w.EndObject();
}

bool readChunk(const rapidjson::Value& c, ChunkInfo& info) {
    if (!c.IsObject() || !c.HasMember("file") || !c["file"].IsString() || !c.HasMember("bytes") ||
        !c["bytes"].IsUint64() || !c.HasMember("lines") || !c["lines"].IsUint64() || !c.HasMember("crc32c") ||
        !c["crc32c"].IsUint())
        return false;
    info.file = c["file"].GetString();
    info.bytes = c["bytes"].GetUint64();
    info.lines = c["lines"].GetUint64();
    info.crc32c = c["crc32c"].GetUint();
    return true;
}

// The manifest's own checksum is its last member; it covers every byte before this text.
constexpr const char kSelfChecksum[] = ",\"manifestCrc32c\":";

bool readChecksum(const rapidjson::Value& doc, const char* key, FileChecksum& sum) {
    auto it = doc.FindMember(key);
    if (it == doc.MemberEnd()) return true;
    const auto& v = it->value;
    if (!v.IsObject() || !v.HasMember("bytes") || !v["bytes"].IsUint64() || !v.HasMember("crc32c") ||
        !v["crc32c"].IsUint())
        return false;
    sum.present = true;
    sum.bytes = v["bytes"].GetUint64();
    sum.crc32c = v["crc32c"].GetUint();
    return true;
}

bool isSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// Checks the manifest's checksum against its text: the member must close the object.
bool checkSelf(const std::string& text, uint32_t recorded, std::string& error) {
    size_t at = text.rfind(kSelfChecksum);
    size_t p = at == std::string::npos ? text.size() : at + std::strlen(kSelfChecksum);
    while (p < text.size() && text[p] >= '0' && text[p] <= '9') ++p;
    while (p < text.size() && isSpace(text[p])) ++p;
    bool last = at != std::string::npos && p < text.size() && text[p] == '}';
    if (last)
        for (++p; p < text.size(); ++p) last = last && isSpace(text[p]);
    if (!last) {
        error = "manifest checksum is not its last member (the manifest was edited)";
        return false;
    }
    uint32_t actual = crc32c(0, text.data(), at);
    if (actual != recorded) {
        error = "manifest does not match its checksum (recorded " + std::to_string(recorded) + ", computed " +
                std::to_string(actual) + "): it was edited or damaged";
        return false;
    }
    return true;
}

}  // namespace

std::string BackupManifest::toJson() const {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    w.Key("format");
    w.Int(format);
    writeCoverage(w, *this);
    w.Key("bounded");
    w.Bool(bounded);
    w.Key("restart");
    w.String(restart);
    w.Key("complete");
    w.Bool(complete);
    w.Key("pages");
    w.Uint64(pages);
    w.Key("chunks");
    w.StartArray();
    for (const auto& c : chunks) writeChunk(w, c);
    w.EndArray();
    writeChecksum(w, "descriptionFile", descriptionFile);
    writeChecksum(w, "metadataFile", metadataFile);
    if (hasKeySet()) {
        w.Key("keySet");
        writeChunk(w, keySet);
    }
    w.EndObject();
    // The object is closed by hand after the checksum of everything before it.
    std::string text(buffer.GetString(), buffer.GetSize() - 1);
    uint32_t self = crc32c(0, text.data(), text.size());
    return text + kSelfChecksum + std::to_string(self) + "}\n";
}

std::string BackupManifest::metadataJson() const {
    rapidjson::StringBuffer buffer;
    Writer w(buffer);
    w.StartObject();
    writeCoverage(w, *this);
    w.EndObject();
    return std::string(buffer.GetString(), buffer.GetSize());
}

bool BackupManifest::fromJson(const std::string& text, BackupManifest& m, std::string& error) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) {
        error = "manifest is not a JSON object";
        return false;
    }
    auto str = [&](const char* key, std::string& out) {
        auto it = doc.FindMember(key);
        if (it == doc.MemberEnd() || !it->value.IsString()) return false;
        out.assign(it->value.GetString(), it->value.GetStringLength());
        return true;
    };
    auto i64 = [&](const char* key, long long& out) {
        auto it = doc.FindMember(key);
        if (it == doc.MemberEnd() || !it->value.IsInt64()) return false;
        out = it->value.GetInt64();
        return true;
    };
    BackupManifest result;
    long long format = 0, pages = 0;
    std::string kind;
    auto complete = doc.FindMember("complete");
    auto chunks = doc.FindMember("chunks");
    if (!i64("format", format) || !str("account", result.account) || !str("table", result.table) ||
        !str("kind", kind) || !i64("fromTime", result.fromTime) || !i64("toTime", result.toTime) ||
        !str("restart", result.restart) || !i64("pages", pages) || complete == doc.MemberEnd() ||
        !complete->value.IsBool() || chunks == doc.MemberEnd() || !chunks->value.IsArray()) {
        error = "manifest lacks a required member";
        return false;
    }
    if (format != kFormatVersion) {
        error = "unsupported backup format " + std::to_string(format);
        return false;
    }
    if (kind != "full" && kind != "incremental") {
        error = "unknown backup kind '" + kind + "'";
        return false;
    }
    auto bounded = doc.FindMember("bounded");
    if (bounded != doc.MemberEnd()) {
        if (!bounded->value.IsBool()) {
            error = "manifest member 'bounded' is not true or false";
            return false;
        }
        result.bounded = bounded->value.GetBool();
    }
    if (!readChecksum(doc, "descriptionFile", result.descriptionFile) ||
        !readChecksum(doc, "metadataFile", result.metadataFile)) {
        error = "manifest has a malformed file checksum";
        return false;
    }
    auto self = doc.FindMember("manifestCrc32c");
    if (self == doc.MemberEnd() && (bounded != doc.MemberEnd() || result.descriptionFile.present ||
                                    result.metadataFile.present)) {
        // Only a manifest older than every one of these members may lack its checksum.
        error = "manifest lacks its checksum (it was edited)";
        return false;
    }
    if (self != doc.MemberEnd() && !self->value.IsUint()) {
        error = "manifest has a malformed checksum";
        return false;
    }
    result.format = static_cast<int>(format);
    result.incremental = kind == "incremental";
    result.complete = complete->value.GetBool();
    result.pages = static_cast<uint64_t>(pages);
    for (const auto& c : chunks->value.GetArray()) {
        ChunkInfo info;
        if (!readChunk(c, info)) {
            error = "manifest has a malformed chunk entry";
            return false;
        }
        if (info.file.empty() || info.file.find('/') != std::string::npos || info.file[0] == '.') {
            error = "manifest names an unsafe chunk file '" + info.file + "'";
            return false;
        }
        std::string expected = chunkFileName(static_cast<unsigned>(result.chunks.size() + 1));
        if (info.file != expected) {
            error = "manifest lists " + info.file + " as chunk " + std::to_string(result.chunks.size() + 1) +
                    "; chunks are numbered from data-000001.jsonl without gaps (expected " + expected + ")";
            return false;
        }
        result.chunks.push_back(info);
    }
    auto keySet = doc.FindMember("keySet");
    if (keySet != doc.MemberEnd()) {
        // Only ever this one name: the manifest never leads a reader to another file.
        if (!readChunk(keySet->value, result.keySet) || result.keySet.file != kKeySetFile) {
            error = "manifest has a malformed key set entry";
            return false;
        }
        if (self == doc.MemberEnd()) {
            error = "manifest lacks its checksum (it was edited)";
            return false;
        }
    }
    if (self != doc.MemberEnd()) {
        if (!checkSelf(text, self->value.GetUint(), error)) return false;
        result.checksummed = true;
    }
    m = std::move(result);
    return true;
}

bool BackupManifest::checkMetadata(const std::string& text, std::string& error) const {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject()) {
        error = std::string(kMetadataFile) + " is not a JSON object";
        return false;
    }
    auto same = [&](const char* key, const std::string& want) {
        auto it = doc.FindMember(key);
        return it != doc.MemberEnd() && it->value.IsString() &&
               std::string(it->value.GetString(), it->value.GetStringLength()) == want;
    };
    auto sameTime = [&](const char* key, long long want) {
        auto it = doc.FindMember(key);
        return it != doc.MemberEnd() && it->value.IsInt64() && it->value.GetInt64() == want;
    };
    const char* differs = !same("account", account)                                   ? "account"
                          : !same("table", table)                                     ? "table"
                          : !same("kind", incremental ? "incremental" : "full")       ? "kind"
                          : !sameTime("fromTime", fromTime)                           ? "fromTime"
                          : !sameTime("toTime", toTime)                               ? "toTime"
                                                                                      : nullptr;
    if (differs) {
        error = std::string(kMetadataFile) + " does not name the manifest's " + differs;
        return false;
    }
    return true;
}

bool BackupManifest::checkDescription(const std::string& text, std::string& error) {
    rapidjson::Document doc;
    doc.Parse(text.c_str(), text.size());
    if (doc.HasParseError() || !doc.IsObject() || !doc.HasMember("table")) {
        error = std::string(kDescriptionFile) + " is not a JSON object with a \"table\" member";
        return false;
    }
    return true;
}

}  // namespace store
}  // namespace platform
