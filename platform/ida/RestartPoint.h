#pragma once
// Where a table scan stands, as its restart string names it. The one place that knows the text:
//
//   ""        the start of the table (nothing scanned yet)
//   ":"       the end of the table (every page scanned)
//   "pk:rk"   the page that starts at those continuation keys; either half may be empty
//             ("pk:" keeps its empty row key, ":rk" its empty partition key)
//
// Continuation keys hold no ':' (the service sends them as base64-like text), so a text with
// more than one ':' (or a non-empty one with none) names no position. After a page, an output
// is told "" when no page follows (updateRestart); parseAfterPage reads that form.
//
// A value type: no state beyond its fields, safe to copy between threads.
#include <string>

#include "platform/util/Export.h"

class AZT_API RestartPoint {
public:
    RestartPoint() = default;  // the start
    static RestartPoint start() { return RestartPoint(); }
    static RestartPoint end();
    // The position of the page that starts at these continuation keys; both empty (no page
    // follows) is the end.
    static RestartPoint nextPage(std::string partitionKey, std::string rowKey);

    // Reads a restart string; false (and `point` unchanged) when the text names no position.
    static bool parse(const std::string& text, RestartPoint& point);
    // The same for the text an output is handed after a page, where "" means that none follows.
    static bool parseAfterPage(const std::string& text, RestartPoint& point);

    // The restart string: "", ":" or "pk:rk".
    std::string toString() const;
    // The text handed to an output after a page: "" at the end, else toString().
    std::string afterPageString() const;

    bool isStart() const { return m_kind == Kind::Start; }
    bool isEnd() const { return m_kind == Kind::End; }
    // The continuation keys of a page position; both empty at the start and the end.
    const std::string& partitionKey() const { return m_partitionKey; }
    const std::string& rowKey() const { return m_rowKey; }

    bool operator==(const RestartPoint& other) const {
        return m_kind == other.m_kind && m_partitionKey == other.m_partitionKey && m_rowKey == other.m_rowKey;
    }
    bool operator!=(const RestartPoint& other) const { return !(*this == other); }

private:
    enum class Kind { Start, Page, End };
    Kind m_kind = Kind::Start;
    std::string m_partitionKey;
    std::string m_rowKey;
};
