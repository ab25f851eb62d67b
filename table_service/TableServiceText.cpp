#include "table_service/TableServiceText.h"

#include <cassert>
#include <cctype>
#include <cstring>
#ifdef __SSE2__
#include <emmintrin.h>
#endif

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

// Reads an entity parsed in place (kParseInsituFlag): strings and numbers are reported where
// they stand in the buffer that begins at `base`, so a number's offset is its pointer's.
class ScanHandler {
public:
    ScanHandler(EntityScan& scan, const char* base) : m_scan(scan), m_base(base) {}

    bool Null() { return value(); }
    bool Bool(bool) { return value(); }
    bool Int(int) { return value(); }
    bool Uint(unsigned) { return value(); }
    bool Int64(int64_t) { return value(); }
    bool Uint64(uint64_t) { return value(); }
    bool Double(double) { return value(); }
    bool RawNumber(const char* text, SizeType length, bool) {
        if (m_depth == 1 && isFloatingForm(text, length))
            m_scan.floatingNumbers.emplace_back(std::string(m_key, m_keyLength),
                                                static_cast<size_t>(text - m_base) + length);
        return value();
    }
    bool String(const char* text, SizeType length, bool) {
        if (m_depth == 1) {
            if (m_keyKind == KeyKind::PartitionKey && !m_seenPartitionKey) {
                m_scan.hasPartitionKey = true;
                m_scan.partitionKey.assign(text, length);
            } else if (m_keyKind == KeyKind::RowKey && !m_seenRowKey) {
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
            // The key stays in the buffer (decoded in place) until the parse ends.
            m_key = text;
            m_keyLength = length;
            m_keyKind = named(text, length, "PartitionKey") ? KeyKind::PartitionKey
                        : named(text, length, "RowKey")     ? KeyKind::RowKey
                                                            : KeyKind::Other;
            static const char kType[] = "@odata.type";
            const size_t typeLength = sizeof kType - 1;
            if (length >= typeLength && std::memcmp(text + length - typeLength, kType, typeLength) == 0)
                m_scan.typeAnnotations.emplace_back(text, length);
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
    enum class KeyKind { Other, PartitionKey, RowKey };

    template <size_t N>
    static bool named(const char* text, SizeType length, const char (&name)[N]) {
        return length == N - 1 && std::memcmp(text, name, N - 1) == 0;
    }

    // Called for every value: a top-level member's value ends the look-up of its name, so only the
    // first member of a name counts (as a DOM look-up would find it).
    bool value() {
        if (m_depth == 1) {
            if (m_keyKind == KeyKind::PartitionKey) m_seenPartitionKey = true;
            if (m_keyKind == KeyKind::RowKey) m_seenRowKey = true;
        }
        return true;
    }

    EntityScan& m_scan;
    const char* m_base;
    int m_depth = 0;
    bool m_rootIsObject = false;
    bool m_seenPartitionKey = false;
    bool m_seenRowKey = false;
    const char* m_key = "";
    SizeType m_keyLength = 0;
    KeyKind m_keyKind = KeyKind::Other;
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

// rapidjson's writer with two shortcuts that write the same bytes: a string with nothing to
// escape, and a number's text, are copied whole instead of a byte at a time.
class LineWriter : public rapidjson::Writer<rapidjson::StringBuffer> {
public:
    using rapidjson::Writer<rapidjson::StringBuffer>::Writer;

    bool String(const char* text, SizeType length) {
        for (SizeType i = 0; i < length; ++i) {
            const unsigned char c = static_cast<unsigned char>(text[i]);
            if (c < 0x20 || c == '"' || c == '\\') return Writer::String(text, length);
        }
        Prefix(rapidjson::kStringType);
        char* out = os_->Push(length + 2);
        out[0] = '"';
        std::memcpy(out + 1, text, length);
        out[length + 1] = '"';
        return EndValue(true);
    }
    bool Key(const char* text, SizeType length) { return String(text, length); }
    bool Number(const char* text, SizeType length) {
        Prefix(rapidjson::kNumberType);
        std::memcpy(os_->Push(length), text, length);
        return EndValue(true);
    }
};

// The length of the escape at `at` (a backslash, `end` the end of the string's text) when it is
// one rapidjson's writer makes: \" \\ \b \t \n \f \r, or \u00XX in upper-case hex for any other
// control character. 0 for any other escape, valid or not ("\/", "\u00e9", ...).
size_t writersEscapeLength(const char* at, const char* end) {
    if (end - at < 2) return 0;
    switch (at[1]) {
        case '"': case '\\': case 'b': case 't': case 'n': case 'f': case 'r': return 2;
        case 'u': break;
        default: return 0;
    }
    if (end - at < 6 || at[2] != '0' || at[3] != '0' || (at[4] != '0' && at[4] != '1')) return 0;
    const char low = at[5];
    if (!((low >= '0' && low <= '9') || (low >= 'A' && low <= 'F'))) return 0;
    // The writer has short forms for \b \t \n \f \r.
    if (at[4] == '0' && (low == '8' || low == '9' || low == 'A' || low == 'C' || low == 'D')) return 0;
    return 6;
}

// True when a string's text raw[0, length), quotes included, is in the form rapidjson's writer
// writes: every escape is one the writer makes (\" \\ \b \t \n \f \r, or \u00XX in upper-case
// hex for any other control character) and the text ends with its closing quote. Everything else
// in a string the reader accepted is already as the writer writes it (a quote, a backslash and a
// control character cannot stand unescaped), so the writer then writes these very bytes.
bool isWritersForm(const char* raw, size_t length) {
    if (length < 2 || raw[0] != '"' || raw[length - 1] != '"') return false;
    const char* at = raw + 1;
    const char* const end = raw + length - 1;
    while ((at = static_cast<const char*>(std::memchr(at, '\\', static_cast<size_t>(end - at))))) {
        const size_t escape = writersEscapeLength(at, end);
        if (escape == 0) return false;
        at += escape;
    }
    return true;
}

// Hands the elements of a page's "value" array to `lines`, one line each, and picks up the
// continuation members on the way.
//
// Two ways of writing an element: through the writer, or, when `original` is given (the
// verbatim pass over a compact page), as a copy of the element's own bytes in `original`,
// which is the text the page was parsed from (in place, in a copy at the same offsets). A copy
// is what the writer would write exactly when the element is in the writer's form: no white
// space, and escapes only where and as the writer writes them. The verbatim pass proves that
// token by token: each token must start right where the writer's rendering of the tokens before
// it ends (one ':' or ',' between tokens, none after an opening or before a closing bracket; a
// string takes its decoded length and two quotes, a number its text, a literal its letters), and
// the closing bracket, whose end is exact, pins the last. White space or an escape makes a token
// start later than that; a string with escapes (an entity tag has two) still passes when each
// escape is one the writer makes (isWritersForm). Otherwise the pass stops (notCanonical()) and
// the page must be written through the writer instead.
class PageHandler {
public:
    PageHandler(rapidjson::StringBuffer& lines, PageScan& page, const char* partitionKeyName, const char* rowKeyName,
                const char* original = nullptr, rapidjson::InsituStringStream* stream = nullptr)
        : m_lines(lines), m_writer(lines), m_page(page), m_partitionKeyName(partitionKeyName),
          m_rowKeyName(rowKeyName), m_original(original), m_stream(stream),
          m_base(stream ? stream->head_ : nullptr) {}

    bool Null() {
        if (!inEntity()) return member();
        return m_original ? literal(4) && ended() : m_writer.Null() && ended();
    }
    bool Bool(bool b) {
        if (!inEntity()) return member();
        return m_original ? literal(b ? 4 : 5) && ended() : m_writer.Bool(b) && ended();
    }
    bool Int(int) { return member(); }
    bool Uint(unsigned) { return member(); }
    bool Int64(int64_t) { return member(); }
    bool Uint64(uint64_t) { return member(); }
    bool Double(double) { return member(); }
    bool RawNumber(const char* text, SizeType length, bool) {
        if (!inEntity()) return member();
        // In place, a number is reported where it stands, so its offset is exact.
        if (m_original) return token(static_cast<size_t>(text - m_base), length, Token::Value) && ended();
        return m_writer.Number(text, length) && ended();
    }
    bool String(const char* text, SizeType length, bool) {
        if (inEntity()) {
            // In place, a string is reported where its decoded text begins, just after its quote.
            if (m_original)
                return token(static_cast<size_t>(text - m_base) - 1, length + size_t(2), Token::Value, true) && ended();
            return m_writer.String(text, length) && ended();
        }
        if (m_depth == 1) {
            if (m_key == m_partitionKeyName && !m_seenPartitionKey) {
                m_page.hasNextPartitionKey = true;
                m_page.nextPartitionKey.assign(text, length);
            } else if (m_key == m_rowKeyName && !m_seenRowKey) {
                m_page.hasNextRowKey = true;
                m_page.nextRowKey.assign(text, length);
            }
        }
        return member();
    }
    bool StartObject() {
        if (inEntity()) return open() && (m_original || m_writer.StartObject());
        if (m_depth == 0) m_rootIsObject = true;
        member();
        ++m_depth;
        return true;
    }
    bool Key(const char* text, SizeType length, bool) {
        if (inEntity()) {
            if (m_original) return token(static_cast<size_t>(text - m_base) - 1, length + size_t(2), Token::Key, true);
            return m_writer.Key(text, length);
        }
        if (m_depth == 1) m_key.assign(text, length);
        return true;
    }
    bool EndObject(SizeType count) {
        --m_depth;
        if (inEntity()) return close() && (m_original || m_writer.EndObject(count)) && ended();
        return true;
    }
    bool StartArray() {
        if (inEntity()) return open() && (m_original || m_writer.StartArray());
        // The first top-level "value" member decides: an array is the page's entities.
        if (m_depth == 1 && m_key == "value" && !m_seenValue) m_inValue = true;
        member();
        ++m_depth;
        return true;
    }
    bool EndArray(SizeType count) {
        --m_depth;
        if (inEntity()) return close() && (m_original || m_writer.EndArray(count)) && ended();
        if (m_depth == 1) m_inValue = false;
        return true;
    }

    bool isObject() const { return m_rootIsObject; }
    bool isPage() const { return m_rootIsObject && m_valueIsArray; }
    // The verbatim pass met an element not in the writer's form and stopped there.
    bool notCanonical() const { return m_notCanonical; }

private:
    enum class Token { Open, Key, Value, Close };

    // Inside an element of the entity array (at its depth or deeper).
    bool inEntity() const { return m_inValue && m_depth >= 2; }
    // An opening bracket inside an element; in the verbatim pass the element's first token
    // starts the element (an element that is no object or array is never copied).
    bool open() {
        if (m_original) {
            const size_t end = m_stream->Tell();  // just past the bracket
            if (m_depth == 2) {
                m_elementStart = end - 1;
                m_end = end;
                m_previous = Token::Open;
                m_previousIsString = false;
            } else if (!token(end - 1, 1, Token::Open)) {
                return false;
            }
        }
        ++m_depth;
        return true;
    }
    bool close() { return !m_original || token(m_stream->Tell() - 1, 1, Token::Close); }
    bool literal(size_t length) {
        const size_t end = m_stream->Tell();
        return token(end - length, length, Token::Value);
    }
    // One token of an element in the verbatim pass, starting at `start` in the text, where
    // `length` is the length of the writer's rendering of it (for a string: when it has no escape).
    bool token(size_t start, size_t length, Token kind, bool isString = false) {
        if (m_depth == 2 && kind != Token::Close) return stop();  // an element that is no object or array
        const size_t separator = kind == Token::Close || m_previous == Token::Open ? 0 : 1;
        if (start != m_end + separator && !(start > m_end + separator && escapedAsWritten(start - separator)))
            return stop();
        m_end = start + length;
        m_previous = kind;
        m_previousIsString = isString;
        m_stringStart = start;
        return true;
    }
    // The previous token is a string whose text is [its start, end) and in the writer's form.
    bool escapedAsWritten(size_t end) {
        return m_previousIsString && isWritersForm(m_original + m_stringStart, end - m_stringStart);
    }
    bool stop() {
        m_notCanonical = true;
        return false;
    }
    // Called after each value inside an element: a complete element ends its line.
    bool ended() {
        if (m_depth == 2) {
            if (m_original) {
                const size_t length = m_end - m_elementStart;
                char* out = m_lines.Push(length + 1);
                std::memcpy(out, m_original + m_elementStart, length);
                out[length] = '\n';
            } else {
                m_lines.Put('\n');
                m_writer.Reset(m_lines);
            }
            ++m_page.entities;
        }
        return true;
    }
    // Called for every value outside the elements: a top-level member's value ends the look-up
    // of its name, so only the first member of a name counts (as a DOM look-up would find it).
    bool member() {
        if (m_depth == 1) {
            if (m_key == m_partitionKeyName) m_seenPartitionKey = true;
            if (m_key == m_rowKeyName) m_seenRowKey = true;
            if (m_key == "value" && !m_seenValue) {
                m_seenValue = true;
                m_valueIsArray = m_inValue;
            }
        }
        return true;
    }

    rapidjson::StringBuffer& m_lines;
    LineWriter m_writer;
    PageScan& m_page;
    const char* m_partitionKeyName;
    const char* m_rowKeyName;
    // The verbatim pass: the text as received, the in-place stream over its copy and the copy.
    const char* m_original;
    rapidjson::InsituStringStream* m_stream;
    const char* m_base;
    size_t m_elementStart = 0, m_end = 0;  // the element being read; where its last token ends
    Token m_previous = Token::Open;
    // Whether the last token is a string, and where it starts.
    bool m_previousIsString = false;
    size_t m_stringStart = 0;
    bool m_notCanonical = false;
    int m_depth = 0;
    bool m_rootIsObject = false, m_inValue = false, m_seenValue = false, m_valueIsArray = false;
    bool m_seenPartitionKey = false, m_seenRowKey = false;
    std::string m_key;
};

// One pass over a page parsed in place in `page.scratch` (a fresh copy of the text).
bool readPage(const char* text, size_t size, rapidjson::StringBuffer& lines, PageScan& page,
              const char* partitionKeyName, const char* rowKeyName, bool verbatim, bool& notCanonical) {
    page.isObject = page.hasNextPartitionKey = page.hasNextRowKey = false;
    page.nextPartitionKey.clear();
    page.nextRowKey.clear();
    page.entities = 0;
    page.scratch.assign(text, size);
    rapidjson::InsituStringStream stream(&page.scratch[0]);
    PageHandler handler(lines, page, partitionKeyName, rowKeyName, verbatim ? text : nullptr,
                        verbatim ? &stream : nullptr);
    rapidjson::Reader reader;
    const bool parsed = !reader.Parse<kRawNumberFlags | rapidjson::kParseInsituFlag>(stream, handler).IsError();
    notCanonical = handler.notCanonical();
    if (!parsed || stream.Tell() != size) return false;
    page.isObject = handler.isObject();
    return handler.isPage();
}

// Reads an entity's keys as scanEntity does (the first top-level member of each name, when it is
// a string) and stops the parse as soon as both are known: the keys stand near the start of a
// line, and the rest of it is the replay's to read.
class KeysHandler : public rapidjson::BaseReaderHandler<rapidjson::UTF8<>, KeysHandler> {
public:
    KeysHandler(std::string& partitionKey, std::string& rowKey) : m_partitionKey(partitionKey), m_rowKey(rowKey) {}

    bool Default() { return value(); }
    bool RawNumber(const char*, rapidjson::SizeType, bool) { return value(); }
    bool String(const char* text, rapidjson::SizeType length, bool) {
        if (m_depth == 1 && m_kind == Kind::PartitionKey && !m_seenPartitionKey) {
            m_partitionKey.assign(text, length);
            hasPartitionKey = true;
        } else if (m_depth == 1 && m_kind == Kind::RowKey && !m_seenRowKey) {
            m_rowKey.assign(text, length);
            hasRowKey = true;
        }
        return value();
    }
    bool Key(const char* text, rapidjson::SizeType length, bool) {
        if (m_depth == 1)
            m_kind = length == 12 && !std::memcmp(text, "PartitionKey", 12) ? Kind::PartitionKey
                     : length == 6 && !std::memcmp(text, "RowKey", 6)       ? Kind::RowKey
                                                                            : Kind::Other;
        return true;
    }
    bool StartObject() {
        const bool go = value();
        ++m_depth;
        return go;
    }
    bool EndObject(rapidjson::SizeType) {
        --m_depth;
        return true;
    }
    bool StartArray() { return StartObject(); }
    bool EndArray(rapidjson::SizeType count) { return EndObject(count); }

    bool hasPartitionKey = false, hasRowKey = false;

private:
    enum class Kind { Other, PartitionKey, RowKey };
    // A top-level member's value ends the look-up of its name; false (stop) once both are known.
    bool value() {
        if (m_depth == 1 && m_kind == Kind::PartitionKey) m_seenPartitionKey = true;
        if (m_depth == 1 && m_kind == Kind::RowKey) m_seenRowKey = true;
        return !(m_seenPartitionKey && m_seenRowKey);
    }

    std::string& m_partitionKey;
    std::string& m_rowKey;
    int m_depth = 0;
    Kind m_kind = Kind::Other;
    bool m_seenPartitionKey = false, m_seenRowKey = false;
};

}  // namespace

bool streamPage(const char* text, size_t size, rapidjson::StringBuffer& lines, PageScan& page, const char* partitionKeyName,
                const char* rowKeyName, PageWriting writing) {
    // A page in the shape the service sends is read by our own pass (scanCompactPage). Any other
    // is parsed by the reader in place in a copy: strings are scanned 16 bytes at a time and not
    // copied again (a number's text then stands in the copy, unterminated, which the writer takes
    // as it is). The lines are first taken verbatim from the text; a page with any element not
    // in the writer's form is read again and written by the writer.
    const size_t before = lines.GetSize();
    bool notCanonical = false;
    if (writing == PageWriting::Fastest && scanCompactPage(text, size, lines, page, partitionKeyName, rowKeyName))
        return true;
    if (writing != PageWriting::Writer) {
        const bool isPage = readPage(text, size, lines, page, partitionKeyName, rowKeyName, true, notCanonical);
        if (!notCanonical) {
            page.verbatim = true;
            return isPage;
        }
        lines.Pop(lines.GetSize() - before);
    }
    page.verbatim = false;
    return readPage(text, size, lines, page, partitionKeyName, rowKeyName, false, notCanonical);
}

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

namespace {

// jsonString(text + suffix) appended to `out`; the suffix needs no escaping. A text with nothing
// to escape (the usual member name) is copied as it is, which is what the writer would write.
void appendJsonString(std::string& out, const std::string& text, const char* suffix) {
    for (unsigned char c : text) {
        if (c < 0x20 || c == '"' || c == '\\') {
            out += jsonString(text + suffix);
            return;
        }
    }
    out += '"';
    out += text;
    out += suffix;
    out += '"';
}

}  // namespace

void deepCopy(rapidjson::Document& target, const rapidjson::Value& source) {
    rapidjson::Document fresh;
    CopyGenerator generator(source);
    fresh.Populate(generator);
    target.Swap(fresh);
}

std::string keyLiteral(const std::string& key) {
    std::string out;
    out.reserve(key.size() + 8);
    appendKeyLiteral(out, key);
    return out;
}

void appendKeyLiteral(std::string& out, const std::string& key) {
    static const char kHex[] = "0123456789ABCDEF";
    auto unreserved = [](unsigned char c) {
        return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
               c == '_' || c == '~';
    };
    // A key of unreserved bytes alone (the usual) is copied whole.
    size_t plain = 0;
    while (plain < key.size() && unreserved(static_cast<unsigned char>(key[plain]))) ++plain;
    out.append(key, 0, plain);
    for (size_t i = plain; i < key.size(); ++i) {
        const unsigned char c = static_cast<unsigned char>(key[i]);
        // The quote is doubled before encoding: '' becomes %27%27.
        if (c == '\'') {
            out += "%27%27";
        } else if (unreserved(c)) {
            out += static_cast<char>(c);
        } else {
            out += '%';
            out += kHex[c >> 4];
            out += kHex[c & 0xF];
        }
    }
}

namespace {

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// The end of the number at `at` (a '-' or a digit) when it follows JSON's grammar, has an exponent
// only where `exponents` allows one (and then a positive one of at most 308: beyond, the reader
// may refuse the number as too big) and is at most 200 characters long (longer ones may run into
// the reader's own limits). Null for anything else, which the reader then decides. `fraction`
// tells whether it has one.
const char* plainNumberEnd(const char* at, const char* end, bool exponents, bool& fraction) {
    const size_t kMaxNumber = 200;
    const char* const number = at;
    fraction = false;
    if (*at == '-' && ++at == end) return nullptr;
    if (*at == '0') {
        ++at;
    } else if (isDigit(*at)) {
        while (at < end && isDigit(*at)) ++at;
    } else {
        return nullptr;
    }
    if (at < end && *at == '.') {
        fraction = true;
        if (++at == end || !isDigit(*at)) return nullptr;
        while (at < end && isDigit(*at)) ++at;
    }
    if (at < end && (*at == 'e' || *at == 'E')) {
        if (!exponents) return nullptr;
        bool negative = false;
        if (++at < end && (*at == '+' || *at == '-')) negative = *at++ == '-';
        int exponent = 0;
        const char* const digits = at;
        while (at < end && isDigit(*at) && at - digits < 4) exponent = exponent * 10 + (*at++ - '0');
        if (at == digits || (at < end && isDigit(*at)) || (!negative && exponent > 308)) return nullptr;
    }
    return static_cast<size_t>(at - number) <= kMaxNumber ? at : nullptr;
}

// The end of the literal true, false or null at `at`; null when none stands there.
const char* literalEnd(const char* at, const char* end) {
    if (*at == 't') return end - at >= 4 && std::memcmp(at, "true", 4) == 0 ? at + 4 : nullptr;
    if (*at == 'f') return end - at >= 5 && std::memcmp(at, "false", 5) == 0 ? at + 5 : nullptr;
    if (*at == 'n') return end - at >= 4 && std::memcmp(at, "null", 4) == 0 ? at + 4 : nullptr;
    return nullptr;
}

// The first byte at or after `at` that ends a run of plain string bytes: a quote, a backslash or
// a control character (`end` when there is none). Sixteen bytes at a time where the CPU can.
const char* plainRunEnd(const char* at, const char* end) {
#ifdef __SSE2__
    const __m128i quote = _mm_set1_epi8('"');
    const __m128i backslash = _mm_set1_epi8('\\');
    const __m128i control = _mm_set1_epi8(0x1F);
    while (end - at >= 16) {
        const __m128i bytes = _mm_loadu_si128(reinterpret_cast<const __m128i*>(at));
        // A byte is at most 0x1F when the unsigned maximum of it and 0x1F is 0x1F.
        const __m128i stop = _mm_or_si128(_mm_or_si128(_mm_cmpeq_epi8(bytes, quote), _mm_cmpeq_epi8(bytes, backslash)),
                                          _mm_cmpeq_epi8(_mm_max_epu8(bytes, control), control));
        const int mask = _mm_movemask_epi8(stop);
        if (mask != 0) return at + __builtin_ctz(static_cast<unsigned>(mask));
        at += 16;
    }
#endif
    while (at < end) {
        const unsigned char c = static_cast<unsigned char>(*at);
        if (c == '"' || c == '\\' || c < 0x20) return at;
        ++at;
    }
    return end;
}

// One pass over a flat entity as a backup stores it, without copying the text: one object of
// string, number and literal members, no white space, no nesting, no \u escape in a string and
// no escape at all in a member name or a key, numbers without exponent. Fills `scan` as the
// library's reader would and returns true when the text is such an entity; false when it is not
// (then `scan` holds anything): the reader decides those texts, valid or not.
bool quickScan(const char* text, size_t size, EntityScan& scan) {
    static const char kType[] = "@odata.type";
    const size_t typeLength = sizeof kType - 1;
    const char* at = text;
    const char* const end = text + size;
    if (at == end || *at != '{') return false;
    if (++at < end && *at == '}') return ++at == end;
    bool seenPartitionKey = false, seenRowKey = false;
    while (true) {
        if (at == end || *at != '"') return false;
        const char* const name = ++at;
        at = plainRunEnd(at, end);
        if (at == end || *at != '"') return false;
        const size_t nameLength = static_cast<size_t>(at - name);
        if (++at == end || *at != ':' || ++at == end) return false;
        enum { Other, PartitionKey, RowKey } kind = Other;
        if (nameLength == 12 && std::memcmp(name, "PartitionKey", 12) == 0) kind = PartitionKey;
        if (nameLength == 6 && std::memcmp(name, "RowKey", 6) == 0) kind = RowKey;
        if (nameLength >= typeLength && std::memcmp(name + nameLength - typeLength, kType, typeLength) == 0)
            scan.typeAnnotations.emplace_back(name, nameLength);

        const char c = *at;
        if (c == '"') {
            const char* const value = ++at;
            bool escaped = false;
            while (true) {
                at = plainRunEnd(at, end);
                if (at == end) return false;
                const unsigned char v = static_cast<unsigned char>(*at);
                if (v == '"') break;
                if (v < 0x20) return false;
                if (v == '\\') {
                    escaped = true;
                    if (++at == end) return false;
                    switch (*at) {
                        case '"': case '\\': case '/': case 'b': case 'f': case 'n': case 'r': case 't': break;
                        default: return false;
                    }
                }
                ++at;
            }
            const size_t valueLength = static_cast<size_t>(at - value);
            ++at;
            if (kind == PartitionKey && !seenPartitionKey) {
                if (escaped) return false;
                scan.hasPartitionKey = true;
                scan.partitionKey.assign(value, valueLength);
            } else if (kind == RowKey && !seenRowKey) {
                if (escaped) return false;
                scan.hasRowKey = true;
                scan.rowKey.assign(value, valueLength);
            }
        } else if (c == '-' || isDigit(c)) {
            bool floating = false;
            if (!(at = plainNumberEnd(at, end, false, floating))) return false;
            if (floating) scan.floatingNumbers.emplace_back(std::string(name, nameLength), static_cast<size_t>(at - text));
        } else if (!(at = literalEnd(at, end))) {
            return false;
        }
        // Any value ends the look-up of its name: only the first member of a name counts.
        if (kind == PartitionKey) seenPartitionKey = true;
        if (kind == RowKey) seenRowKey = true;
        if (at == end) return false;
        if (*at == '}') return ++at == end;
        if (*at++ != ',') return false;
    }
}

bool isJsonSpace(char c) { return c == ' ' || c == '\n' || c == '\r' || c == '\t'; }

// The end of a string in the writer's form, from `at` just past its opening quote to just past
// its closing quote: plain bytes (the reader checks no UTF-8, nor does the writer) and only the
// escapes the writer makes (\" \\ \b \f \n \r \t, and \u00XX in upper-case hex for any other
// control character). Null for any other string, valid or not. `escaped` is set when it has an
// escape.
const char* writersStringEnd(const char* at, const char* end, bool& escaped) {
    while (true) {
        at = plainRunEnd(at, end);
        if (at == end) return nullptr;
        if (*at == '"') return at + 1;
        if (*at != '\\') return nullptr;  // a control character
        const size_t escape = writersEscapeLength(at, end);
        if (escape == 0) return nullptr;
        escaped = true;
        at += escape;
    }
}

// The end of a number, a literal or a string in the writer's form that starts at `at`: a value
// the reader takes and the writer writes as these very bytes (a number keeps its text). Null for
// anything else: a number the reader might find too big, an object, an array, an error.
const char* flatValueEnd(const char* at, const char* end) {
    const char c = *at;
    if (c == '"') {
        bool escaped = false;
        return writersStringEnd(at + 1, end, escaped);
    }
    bool fraction = false;
    if (c == '-' || isDigit(c)) return plainNumberEnd(at, end, true, fraction);
    return literalEnd(at, end);
}

// The elements of a page's entity array, from `at` just past its '[' to just past its ']': flat
// objects in the writer's form, the offset from `text` of the comma or bracket after each
// recorded in `ends`. Null when any element is not such an object.
const char* compactEntities(const char* text, const char* at, const char* end, std::vector<size_t>& ends) {
    if (at < end && *at == ']') return at + 1;
    while (true) {
        if (at == end || *at != '{') return nullptr;
        if (++at < end && *at == '}') {
            ++at;
        } else {
            while (true) {
                bool escaped = false;
                if (at == end || *at != '"' || !(at = writersStringEnd(at + 1, end, escaped))) return nullptr;
                if (at == end || *at != ':' || ++at == end || !(at = flatValueEnd(at, end)) || at == end)
                    return nullptr;
                if (*at == '}') break;
                if (*at++ != ',') return nullptr;
            }
            ++at;
        }
        if (at == end) return nullptr;
        ends.push_back(static_cast<size_t>(at - text));
        if (*at == ']') return at + 1;
        if (*at++ != ',') return nullptr;
    }
}

// The page's object in the shape scanCompactPage takes: fills `page` (but for isObject and
// verbatim) and sets `lines` to the offset of the first element (the lines are the text from
// there to page.lineEnds.back() with a line feed at each of page.lineEnds). False when the text
// has another shape.
bool compactPage(const char* text, size_t size, PageScan& page, const char* partitionKeyName, const char* rowKeyName,
                 size_t& lines) {
    page.isObject = page.hasNextPartitionKey = page.hasNextRowKey = false;
    page.nextPartitionKey.clear();
    page.nextRowKey.clear();
    page.lineEnds.clear();
    const size_t partitionKeyLength = std::strlen(partitionKeyName), rowKeyLength = std::strlen(rowKeyName);
    const char* at = text;
    const char* end = text + size;
    // The reader takes white space before and after the page's object.
    while (at < end && isJsonSpace(*at)) ++at;
    while (end > at && isJsonSpace(end[-1])) --end;
    if (at == end || *at++ != '{') return false;
    bool seenValue = false, seenPartitionKey = false, seenRowKey = false;
    while (true) {
        if (at == end || *at != '"') return false;
        const char* const name = ++at;
        bool escaped = false;
        if (!(at = writersStringEnd(at, end, escaped)) || escaped) return false;
        const size_t nameLength = static_cast<size_t>(at - 1 - name);
        if (at == end || *at != ':' || ++at == end) return false;
        const bool isValue = !seenValue && nameLength == 5 && std::memcmp(name, "value", 5) == 0;
        const bool isPartitionKey = nameLength == partitionKeyLength && std::memcmp(name, partitionKeyName, nameLength) == 0;
        const bool isRowKey = nameLength == rowKeyLength && std::memcmp(name, rowKeyName, nameLength) == 0;
        if (*at == '[') {
            // Only the first "value" member is the page's entities; any other array is the reader's.
            if (!isValue) return false;
            lines = static_cast<size_t>(at + 1 - text);
            if (!(at = compactEntities(text, at + 1, end, page.lineEnds))) return false;
            seenValue = true;
        } else if (*at == '"') {
            const char* const value = at + 1;
            escaped = false;
            if (isValue || !(at = writersStringEnd(value, end, escaped))) return false;
            // The first member of a continuation name, when it is a string (as the reader's pass takes it).
            if ((isPartitionKey && !seenPartitionKey) || (isRowKey && !seenRowKey)) {
                if (escaped) return false;
                std::string& key = isPartitionKey ? page.nextPartitionKey : page.nextRowKey;
                (isPartitionKey ? page.hasNextPartitionKey : page.hasNextRowKey) = true;
                key.assign(value, static_cast<size_t>(at - 1 - value));
            }
        } else if (isValue || !(at = flatValueEnd(at, end))) {
            return false;
        }
        if (isPartitionKey) seenPartitionKey = true;
        if (isRowKey) seenRowKey = true;
        if (at == end) return false;
        if (*at == '}') {
            page.entities = page.lineEnds.size();
            return ++at == end && seenValue;
        }
        if (*at++ != ',') return false;
    }
}

void clearScan(EntityScan& scan) {
    scan.isObject = scan.hasPartitionKey = scan.hasRowKey = false;
    scan.partitionKey.clear();
    scan.rowKey.clear();
    scan.typeAnnotations.clear();
    scan.floatingNumbers.clear();
}

}  // namespace

bool scanCompactPage(const char* text, size_t size, rapidjson::StringBuffer& lines, PageScan& page,
                     const char* partitionKeyName, const char* rowKeyName) {
    size_t first = 0;
    if (!compactPage(text, size, page, partitionKeyName, rowKeyName, first)) return false;
    page.isObject = page.verbatim = true;
    if (page.lineEnds.empty()) return true;
    const size_t length = page.lineEnds.back() + 1 - first;
    char* const out = lines.Push(length);
    std::memcpy(out, text + first, length);
    for (size_t end : page.lineEnds) out[end - first] = '\n';
    return true;
}

bool scanCompactPageInPlace(char* text, size_t size, PageScan& page, const char* partitionKeyName,
                            const char* rowKeyName, const char*& lines, size_t& linesSize) {
    size_t first = 0;
    if (!compactPage(text, size, page, partitionKeyName, rowKeyName, first)) return false;
    page.isObject = page.verbatim = true;
    for (size_t end : page.lineEnds) text[end] = '\n';
    lines = text + first;
    linesSize = page.lineEnds.empty() ? 0 : page.lineEnds.back() + 1 - first;
    return true;
}

void scanEntity(const char* text, size_t size, EntityScan& scan) {
    clearScan(scan);
    if (quickScan(text, size, scan)) {
        scan.isObject = true;
        return;
    }
    scanEntityByReader(text, size, scan);
}

void scanEntityByReader(const char* text, size_t size, EntityScan& scan) {
    clearScan(scan);
    // Parsed in place in a copy: the fastest way through rapidjson's reader (strings are scanned
    // 16 bytes at a time and not copied), and the text itself stays as it is.
    scan.scratch.assign(text, size);
    rapidjson::InsituStringStream stream(&scan.scratch[0]);
    ScanHandler handler(scan, scan.scratch.data());
    rapidjson::Reader reader;
    bool parsed = !reader.Parse<kRawNumberFlags | rapidjson::kParseInsituFlag>(stream, handler).IsError();
    // A NUL byte ends rapidjson's input early; whatever follows it is not part of a valid entity.
    if (!parsed || stream.Tell() != size || !handler.rootIsObject()) {
        scan.hasPartitionKey = scan.hasRowKey = false;
        scan.partitionKey.clear();
        scan.rowKey.clear();
        scan.typeAnnotations.clear();
        scan.floatingNumbers.clear();
        return;
    }
    scan.isObject = true;
}

EntityScan scanEntity(const std::string& text) {
    EntityScan scan;
    scanEntity(text.data(), text.size(), scan);
    return scan;
}

std::string partitionKeyOf(const std::string& text) { return scanEntity(text).partitionKey; }

bool keysOf(const char* text, size_t size, std::string& partitionKey, std::string& rowKey) {
    KeysHandler keys(partitionKey, rowKey);
    TrackedStream stream(text, size);
    rapidjson::Reader reader;
    reader.Parse<kRawNumberFlags>(stream, keys);
    return keys.hasPartitionKey && keys.hasRowKey;
}

std::string partitionGroupOf(const std::string& text) {
    // Walks the top-level members up to the first one named PartitionKey: when its value is a
    // string without escapes, that is the key as the full scan reads it. Whatever else comes
    // first (white space, nesting, an escape in a name, a key of another type) is left to the
    // full scan.
    const char* at = text.data();
    const char* const end = at + text.size();
    if (at == end || *at++ != '{') return partitionKeyOf(text);
    while (at < end && *at == '"') {
        const char* const name = ++at;
        at = plainRunEnd(at, end);
        if (at == end || *at != '"') break;
        const bool isKey = at - name == 12 && std::memcmp(name, "PartitionKey", 12) == 0;
        if (++at == end || *at != ':' || ++at == end) break;
        if (*at == '"') {
            const char* const value = ++at;
            bool escaped = false;
            while ((at = plainRunEnd(at, end)) < end && *at == '\\') {
                escaped = true;
                at = end - at > 2 ? at + 2 : end;
            }
            if (at == end || *at != '"') break;
            if (isKey) {
                if (escaped) break;
                return std::string(value, static_cast<size_t>(at - value));
            }
            ++at;
        } else {
            if (isKey) break;
            // A number or a literal runs to the next comma or brace.
            while (at < end && *at != ',' && *at != '}' && *at != '{' && *at != '[' && *at != '"') ++at;
        }
        if (at == end || *at != ',') break;
        ++at;
    }
    return partitionKeyOf(text);
}

std::string annotateDoubles(const std::string& text, const EntityScan& scan) {
    if (scan.floatingNumbers.empty()) return text;
    std::string out;
    out.reserve(text.size() + 64);
    appendAnnotated(out, text.data(), text.size(), scan);
    return out;
}

void appendAnnotated(std::string& out, const char* text, size_t size, const EntityScan& scan) {
    static const char kType[] = "@odata.type";
    size_t copied = 0;
    const auto& numbers = scan.floatingNumbers;
    for (size_t i = 0; i < numbers.size(); ++i) {
        const std::string& name = numbers[i].first;
        if (name.find("@odata.") != std::string::npos) continue;
        // Only the first member of a name gets its annotation.
        bool earlier = false;
        for (size_t j = 0; j < i && !earlier; ++j) earlier = numbers[j].first == name;
        if (earlier) continue;
        bool typed = false;
        for (const auto& annotation : scan.typeAnnotations)
            if (annotation.size() == name.size() + sizeof kType - 1 && annotation.compare(0, name.size(), name) == 0)
                typed = true;
        if (typed) continue;
        out.append(text + copied, numbers[i].second - copied);
        out += ',';
        appendJsonString(out, name, kType);
        out += ":\"Edm.Double\"";
        copied = numbers[i].second;
    }
    out.append(text + copied, size - copied);
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
    const char* const begin = body.data();
    const char* const end = begin + body.size();
    // An operation response starts with its status line, e.g. "HTTP/1.1 204 No Content"; the
    // same text anywhere but at the start of a line is no status.
    auto confirms = [&](const char* at) {
        const char* lineEnd = static_cast<const char*>(std::memchr(at, '\n', static_cast<size_t>(end - at)));
        if (!lineEnd) lineEnd = end;
        const char* space = static_cast<const char*>(std::memchr(at, ' ', static_cast<size_t>(end - at)));
        return space != nullptr && space + 3 < lineEnd && space[1] == '2' &&
               std::isdigit(static_cast<unsigned char>(space[2])) && std::isdigit(static_cast<unsigned char>(space[3]));
    };
    // Found by their first letter, which stands rarely elsewhere in a reply.
    for (const char* at = begin; (at = static_cast<const char*>(std::memchr(at, 'H', static_cast<size_t>(end - at))));
         ++at) {
        if ((at != begin && at[-1] != '\n') || end - at < 5 || std::memcmp(at, "HTTP/", 5) != 0) continue;
        if (!confirms(at)) return false;
        ++confirmed;
    }
    return confirmed == operations;
}

}  // namespace table_text
