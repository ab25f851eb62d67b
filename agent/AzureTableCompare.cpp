// Comparison of two tables as two streams of pages merged in key order.
#include "agent/AzureTableCompare.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <memory>
#include <utility>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/ida/IdaOutput.h"
#include "table_service/AzureTableStorage.h"

namespace AzureTableIDA {
namespace {

// One property as typed data: its Edm type and a canonical text of its value.
struct Value {
    std::string type;
    std::string text;
    bool operator==(const Value& other) const { return type == other.type && text == other.text; }
};
using Entity = std::map<std::string, Value>;

std::string canonicalDouble(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", d);
    return text;
}

// Reads one entity line (minimal metadata) into typed properties and its two keys.
bool parseEntity(const char* line, size_t size, std::string& partitionKey, std::string& rowKey, Entity& entity) {
    rapidjson::Document doc;
    doc.Parse(line, size);
    if (doc.HasParseError() || !doc.IsObject()) return false;
    std::map<std::string, std::string> annotations;
    for (const auto& m : doc.GetObject()) {
        std::string name(m.name.GetString(), m.name.GetStringLength());
        const std::string suffix = "@odata.type";
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            m.value.IsString())
            annotations[name.substr(0, name.size() - suffix.size())] = m.value.GetString();
    }
    partitionKey.clear();
    rowKey.clear();
    entity.clear();
    for (const auto& m : doc.GetObject()) {
        std::string name(m.name.GetString(), m.name.GetStringLength());
        if (name.find('@') != std::string::npos || name.compare(0, 6, "odata.") == 0 || name == "Timestamp") continue;
        Value v;
        auto annotation = annotations.find(name);
        const auto& j = m.value;
        if (j.IsString()) {
            v.type = annotation != annotations.end() ? annotation->second : "Edm.String";
            v.text.assign(j.GetString(), j.GetStringLength());
            if (v.type == "Edm.Double") {  // NaN and the infinities travel as text
                v.text = v.text == "NaN" || v.text == "Infinity" || v.text == "-Infinity"
                             ? v.text
                             : canonicalDouble(std::strtod(v.text.c_str(), nullptr));
            }
        } else if (j.IsBool()) {
            v.type = "Edm.Boolean";
            v.text = j.GetBool() ? "true" : "false";
        } else if (j.IsInt() && annotation == annotations.end()) {
            v.type = "Edm.Int32";
            v.text = std::to_string(j.GetInt());
        } else if (j.IsNumber()) {
            v.type = annotation != annotations.end() ? annotation->second : "Edm.Double";
            v.text = v.type == "Edm.Double" ? canonicalDouble(j.GetDouble())
                                            : (j.IsInt64() ? std::to_string(j.GetInt64()) : canonicalDouble(j.GetDouble()));
        } else if (j.IsNull()) {
            v.type = "null";
        } else {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
            j.Accept(w);
            v.type = "json";
            v.text = buffer.GetString();
        }
        if (name == "PartitionKey") partitionKey = v.text;
        if (name == "RowKey") rowKey = v.text;
        entity[name] = std::move(v);
    }
    return true;
}

std::string printableKey(const std::string& partitionKey, const std::string& rowKey) {
    return "(PartitionKey '" + partitionKey + "', RowKey '" + rowKey + "')";
}

// One key against another in `order`: -1, 0 or 1. UTF-16 code units differ from UTF-8 bytes
// (that is, from code points) only where a character beyond U+FFFF (lead byte F0-F4, a surrogate
// pair in UTF-16) meets one of U+E000-U+FFFF (lead byte EE or EF): UTF-16 puts the former first.
int compareText(const std::string& a, const std::string& b, AzureTableKeyOrder order) {
    size_t common = std::min(a.size(), b.size()), i = 0;
    while (i < common && a[i] == b[i]) ++i;
    if (i == common) return a.size() < b.size() ? -1 : a.size() > b.size() ? 1 : 0;
    unsigned char x = static_cast<unsigned char>(a[i]), y = static_cast<unsigned char>(b[i]);
    if (order == AzureTableKeyOrder::Utf16Units) {
        if (x >= 0xF0 && (y == 0xEE || y == 0xEF)) return -1;
        if (y >= 0xF0 && (x == 0xEE || x == 0xEF)) return 1;
    }
    return x < y ? -1 : 1;
}

int compareKeys(const std::string& pkA, const std::string& rkA, const std::string& pkB, const std::string& rkB,
                AzureTableKeyOrder order) {
    int result = compareText(pkA, pkB, order);
    return result != 0 ? result : compareText(rkA, rkB, order);
}

// One table read entity by entity, one page held at a time, its key order checked.
class EntityStream {
public:
    EntityStream(const std::string& name, const AzureTablePageReader& read, AzureTableKeyOrder order)
        : m_name(name), m_read(read), m_order(order) {}

    // Moves to the next entity (or to the end). False with `error` set when the table cannot be
    // read on, or its next entity is not JSON or does not come after the current one (then
    // `outOfOrder` is set too).
    bool advance(std::string& error, bool& outOfOrder) {
        for (;;) {
            while (m_position < m_page.size()) {
                size_t end = m_page.find('\n', m_position);
                if (end == std::string::npos) end = m_page.size();
                size_t start = m_position;
                m_position = end + 1;
                if (end == start) continue;
                std::string partitionKey, rowKey;
                if (!parseEntity(m_page.data() + start, end - start, partitionKey, rowKey, m_entity)) {
                    error = "table " + m_name + " returned an entity that is not JSON";
                    return false;
                }
                if (m_count > 0 && compareKeys(partitionKey, rowKey, m_partitionKey, m_rowKey, m_order) <= 0) {
                    outOfOrder = true;
                    error = "table " + m_name + " returned its entities out of key order: " +
                            printableKey(partitionKey, rowKey) + " came after " +
                            printableKey(m_partitionKey, m_rowKey) + "; the tables cannot be compared";
                    return false;
                }
                m_partitionKey = std::move(partitionKey);
                m_rowKey = std::move(rowKey);
                ++m_count;
                return true;
            }
            if (!m_more) {
                m_atEnd = true;
                m_entity.clear();
                return true;
            }
            m_page.clear();
            m_position = 0;
            if (!m_read(m_page, m_more, error)) return false;
        }
    }

    bool atEnd() const { return m_atEnd; }
    const std::string& partitionKey() const { return m_partitionKey; }
    const std::string& rowKey() const { return m_rowKey; }
    const Entity& entity() const { return m_entity; }
    size_t count() const { return m_count; }

private:
    const std::string& m_name;
    const AzureTablePageReader& m_read;
    const AzureTableKeyOrder m_order;
    std::string m_page;
    size_t m_position = 0;
    bool m_more = true;  // a page is still to be fetched
    bool m_atEnd = false;
    std::string m_partitionKey, m_rowKey;
    Entity m_entity;
    size_t m_count = 0;
};

// Keeps the text of the last page streamed into it.
class PageOutput : public IdaOutput {
public:
    explicit PageOutput(std::string& page) : IdaOutput("compare", nullptr), m_page(page) {}
    bool putString(const std::string& text) override {
        m_page += text;
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }

private:
    std::string& m_page;
};

}  // namespace

AzureTableComparison compareTableStreams(const std::string& nameA, const AzureTablePageReader& readA,
                                         const std::string& nameB, const AzureTablePageReader& readB,
                                         size_t maxListed, AzureTableKeyOrder order) {
    AzureTableComparison result;
    result.order = order;
    EntityStream a(nameA, readA, order), b(nameB, readB, order);
    auto advance = [&](EntityStream& stream) { return stream.advance(result.error, result.outOfOrder); };
    auto difference = [&](const std::string& text) {
        if (result.differences++ < maxListed) result.listed.push_back(text);
    };
    auto show = [](const Value* v) { return v ? v->type + " " + v->text : std::string("(missing)"); };
    bool ok = advance(a) && advance(b);
    while (ok && (!a.atEnd() || !b.atEnd())) {
        int first = a.atEnd() ? 1
                    : b.atEnd() ? -1
                                : compareKeys(a.partitionKey(), a.rowKey(), b.partitionKey(), b.rowKey(), order);
        if (first < 0) {
            difference("only in " + nameA + ": " + printableKey(a.partitionKey(), a.rowKey()));
            ok = advance(a);
        } else if (first > 0) {
            difference("only in " + nameB + ": " + printableKey(b.partitionKey(), b.rowKey()));
            ok = advance(b);
        } else {
            std::map<std::string, std::pair<const Value*, const Value*>> properties;
            for (const auto& p : a.entity()) properties[p.first].first = &p.second;
            for (const auto& p : b.entity()) properties[p.first].second = &p.second;
            for (const auto& p : properties) {
                if (!p.second.first || !p.second.second || !(*p.second.first == *p.second.second))
                    difference("differs " + printableKey(a.partitionKey(), a.rowKey()) + " property " + p.first + ": " +
                               nameA + " has " + show(p.second.first) + ", " + nameB + " has " +
                               show(p.second.second));
            }
            ok = advance(a) && advance(b);
        }
    }
    result.complete = ok;
    result.entitiesA = a.count();
    result.entitiesB = b.count();
    return result;
}

AzureTableComparison compareTables(const std::string& nameA, const std::function<AzureTablePageReader()>& openA,
                                   const std::string& nameB, const std::function<AzureTablePageReader()>& openB,
                                   size_t maxListed) {
    AzureTableComparison result =
        compareTableStreams(nameA, openA(), nameB, openB(), maxListed, AzureTableKeyOrder::Utf8Bytes);
    if (result.complete || !result.outOfOrder) return result;
    return compareTableStreams(nameA, openA(), nameB, openB(), maxListed, AzureTableKeyOrder::Utf16Units);
}

AzureTablePageReader tablePageReader(AzureTableStorage& client, const std::string& table) {
    auto token = std::make_shared<AzureTableContinuationToken>();
    return [&client, table, token](std::string& page, bool& more, std::string& error) {
        PageOutput output(page);
        int kind = client.queryEntities(table, *token, &output, *token, 0, 0);
        if (kind != 0) {
            error = "reading the entities of " + table + " failed (error kind " + std::to_string(kind) + ")";
            return false;
        }
        more = !token->nextPartitionKey.empty() || !token->nextRowKey.empty();
        return true;
    };
}

}  // namespace AzureTableIDA
