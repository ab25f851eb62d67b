#include "table_service/TableServiceText.h"

#include <cassert>
#include <cctype>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

namespace table_text {
namespace {

using rapidjson::SizeType;

// A read-only stream over a text that rapidjson must not copy: the reader then works on this very
// object, so Tell() inside a handler callback is the offset just past the value being reported.
class TrackedStream {
public:
    typedef char Ch;
    TrackedStream(const char* begin, size_t length) : m_begin(begin), m_current(begin), m_end(begin + length) {}
    Ch Peek() const { return m_current < m_end ? *m_current : '\0'; }
    Ch Take() { return m_current < m_end ? *m_current++ : '\0'; }
    size_t Tell() const { return static_cast<size_t>(m_current - m_begin); }
    bool AtEnd() const { return m_current == m_end; }
    Ch* PutBegin() { assert(false); return nullptr; }
    void Put(Ch) { assert(false); }
    void Flush() {}
    size_t PutEnd(Ch*) { assert(false); return 0; }

private:
    const char* m_begin;
    const char* m_current;
    const char* m_end;
};

// Numbers are reported as their text so that nothing is lost to conversion.
constexpr unsigned kRawNumberFlags = rapidjson::kParseNumbersAsStringsFlag;

bool isFloatingForm(const char* text, SizeType length) {
    for (SizeType i = 0; i < length; ++i) {
        if (text[i] == '.' || text[i] == 'e' || text[i] == 'E') return true;
    }
    return false;
}

class ScanHandler {
public:
    ScanHandler(EntityScan& scan, const TrackedStream& stream) : m_scan(scan), m_stream(stream) {}

    bool Null() { return value(); }
    bool Bool(bool) { return value(); }
    bool Int(int) { return value(); }
    bool Uint(unsigned) { return value(); }
    bool Int64(int64_t) { return value(); }
    bool Uint64(uint64_t) { return value(); }
    bool Double(double) { return value(); }
    bool RawNumber(const char* text, SizeType length, bool) {
        if (m_depth == 1 && isFloatingForm(text, length)) m_scan.floatingNumbers.emplace_back(m_key, m_stream.Tell());
        return value();
    }
    bool String(const char* text, SizeType length, bool) {
        if (m_depth == 1) {
            if (m_key == "PartitionKey" && !m_seenPartitionKey) {
                m_scan.hasPartitionKey = true;
                m_scan.partitionKey.assign(text, length);
            } else if (m_key == "RowKey" && !m_seenRowKey) {
                m_scan.hasRowKey = true;
                m_scan.rowKey.assign(text, length);
            }
        }
        return value();
    }
    bool StartObject() {
        if (m_depth == 0) m_rootIsObject = true;
        value();
        ++m_depth;
        return true;
    }
    bool Key(const char* text, SizeType length, bool) {
        if (m_depth == 1) {
            m_key.assign(text, length);
            m_scan.memberNames.insert(m_key);
        }
        return true;
    }
    bool EndObject(SizeType) {
        --m_depth;
        return true;
    }
    bool StartArray() {
        value();
        ++m_depth;
        return true;
    }
    bool EndArray(SizeType) {
        --m_depth;
        return true;
    }

    bool rootIsObject() const { return m_rootIsObject; }

private:
    // Called for every value: a top-level member's value ends the look-up of its name, so only the
    // first member of a name counts (as a DOM look-up would find it).
    bool value() {
        if (m_depth == 1) {
            if (m_key == "PartitionKey") m_seenPartitionKey = true;
            if (m_key == "RowKey") m_seenRowKey = true;
        }
        return true;
    }

    EntityScan& m_scan;
    const TrackedStream& m_stream;
    int m_depth = 0;
    bool m_rootIsObject = false;
    bool m_seenPartitionKey = false;
    bool m_seenRowKey = false;
    std::string m_key;
};

// Forwards SAX events to a writer, numbers as their original text.
class RewriteHandler {
public:
    explicit RewriteHandler(rapidjson::Writer<rapidjson::StringBuffer>& writer) : m_writer(writer) {}
    bool Null() { return m_writer.Null(); }
    bool Bool(bool b) { return m_writer.Bool(b); }
    bool Int(int i) { return m_writer.Int(i); }
    bool Uint(unsigned u) { return m_writer.Uint(u); }
    bool Int64(int64_t i) { return m_writer.Int64(i); }
    bool Uint64(uint64_t u) { return m_writer.Uint64(u); }
    bool Double(double d) { return m_writer.Double(d); }
    bool RawNumber(const char* text, SizeType length, bool) {
        return m_writer.RawValue(text, length, rapidjson::kNumberType);
    }
    bool String(const char* text, SizeType length, bool) { return m_writer.String(text, length); }
    bool StartObject() { return m_writer.StartObject(); }
    bool Key(const char* text, SizeType length, bool) { return m_writer.Key(text, length); }
    bool EndObject(SizeType count) { return m_writer.EndObject(count); }
    bool StartArray() { return m_writer.StartArray(); }
    bool EndArray(SizeType count) { return m_writer.EndArray(count); }

private:
    rapidjson::Writer<rapidjson::StringBuffer>& m_writer;
};

// Hands a value's events to a document with every string copied, so the document never points
// into memory it does not own (a value may hold constant strings that a plain copy would share).
template <typename Handler>
class CopyingHandler {
public:
    explicit CopyingHandler(Handler& target) : m_target(target) {}
    bool Null() { return m_target.Null(); }
    bool Bool(bool b) { return m_target.Bool(b); }
    bool Int(int i) { return m_target.Int(i); }
    bool Uint(unsigned u) { return m_target.Uint(u); }
    bool Int64(int64_t i) { return m_target.Int64(i); }
    bool Uint64(uint64_t u) { return m_target.Uint64(u); }
    bool Double(double d) { return m_target.Double(d); }
    bool RawNumber(const char* text, SizeType length, bool) { return m_target.RawNumber(text, length, true); }
    bool String(const char* text, SizeType length, bool) { return m_target.String(text, length, true); }
    bool StartObject() { return m_target.StartObject(); }
    bool Key(const char* text, SizeType length, bool) { return m_target.Key(text, length, true); }
    bool EndObject(SizeType count) { return m_target.EndObject(count); }
    bool StartArray() { return m_target.StartArray(); }
    bool EndArray(SizeType count) { return m_target.EndArray(count); }

private:
    Handler& m_target;
};

class CopyGenerator {
public:
    explicit CopyGenerator(const rapidjson::Value& source) : m_source(source) {}
    template <typename Handler>
    bool operator()(Handler& handler) const {
        CopyingHandler<Handler> copying(handler);
        return m_source.Accept(copying);
    }

private:
    const rapidjson::Value& m_source;
};

}  // namespace

bool parseJson(rapidjson::Document& document, const std::string& text) {
    document.Parse<kParseFlags>(text.data(), text.size());
    if (document.HasParseError()) {
        document.SetNull();
        return false;
    }
    return true;
}

void appendCompactJson(std::string& out, const rapidjson::Value& value) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    value.Accept(writer);
    out.append(buffer.GetString(), buffer.GetSize());
}

std::string compactJson(const rapidjson::Value& value) {
    std::string out;
    appendCompactJson(out, value);
    return out;
}

std::string jsonString(const std::string& text) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.String(text.data(), static_cast<SizeType>(text.size()));
    return std::string(buffer.GetString(), buffer.GetSize());
}

void deepCopy(rapidjson::Document& target, const rapidjson::Value& source) {
    rapidjson::Document fresh;
    CopyGenerator generator(source);
    fresh.Populate(generator);
    target.Swap(fresh);
}

std::string keyLiteral(const std::string& key) {
    std::string doubled;
    doubled.reserve(key.size() + 2);
    for (char c : key) {
        doubled += c;
        if (c == '\'') doubled += '\'';
    }
    return percentEncode(doubled);
}

EntityScan scanEntity(const std::string& text) {
    EntityScan scan;
    TrackedStream stream(text.data(), text.size());
    ScanHandler handler(scan, stream);
    rapidjson::Reader reader;
    bool parsed = !reader.Parse<kRawNumberFlags>(stream, handler).IsError();
    // A NUL byte ends rapidjson's input early; whatever follows it is not part of a valid entity.
    if (!parsed || !stream.AtEnd() || !handler.rootIsObject()) return EntityScan{};
    scan.isObject = true;
    return scan;
}

std::string partitionKeyOf(const std::string& text) { return scanEntity(text).partitionKey; }

std::string annotateDoubles(const std::string& text, const EntityScan& scan) {
    std::string out;
    size_t copied = 0;
    std::set<std::string> annotated;
    for (const auto& number : scan.floatingNumbers) {
        const std::string& name = number.first;
        std::string annotation = name + "@odata.type";
        if (name.find("@odata.") != std::string::npos || scan.memberNames.count(annotation) ||
            !annotated.insert(name).second) {
            continue;
        }
        if (out.empty()) out.reserve(text.size() + 64);
        out.append(text, copied, number.second - copied);
        out += ',';
        out += jsonString(annotation);
        out += ":\"Edm.Double\"";
        copied = number.second;
    }
    if (copied == 0) return text;
    out.append(text, copied, std::string::npos);
    return out;
}

bool rewriteCompact(const std::string& text, std::string& out) {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    RewriteHandler handler(writer);
    TrackedStream stream(text.data(), text.size());
    rapidjson::Reader reader;
    if (reader.Parse<kRawNumberFlags>(stream, handler).IsError() || !stream.AtEnd()) return false;
    out.assign(buffer.GetString(), buffer.GetSize());
    return true;
}

bool batchReplyConfirms(const std::string& body, size_t operations) {
    size_t confirmed = 0;
    size_t start = 0;
    while (start < body.size()) {
        size_t end = body.find('\n', start);
        if (end == std::string::npos) end = body.size();
        // An operation response starts with its status line, e.g. "HTTP/1.1 204 No Content".
        if (body.compare(start, 5, "HTTP/") == 0) {
            size_t space = body.find(' ', start);
            bool twoHundreds = space != std::string::npos && space + 3 < end && body[space + 1] == '2' &&
                               std::isdigit(static_cast<unsigned char>(body[space + 2])) &&
                               std::isdigit(static_cast<unsigned char>(body[space + 3]));
            if (!twoHundreds) return false;
            ++confirmed;
        }
        start = end + 1;
    }
    return confirmed == operations;
}

}  // namespace table_text
