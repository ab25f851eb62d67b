#pragma once
// Text-level helpers of the Table service client: JSON reading and writing that keeps every
// number exact, key escaping for request URLs, and reading the reply of a batch. Stateless and
// thread-safe; used only inside the client (not exported).
#include <set>
#include <string>
#include <utility>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/reader.h>
#include <rapidjson/stringbuffer.h>

#include "platform/http/UrlEncoding.h"

namespace table_text {

// Strict JSON, but every number keeps its exact value (the default fast path may be one unit in
// the last place off, which would change a Double between backup and restore).
constexpr unsigned kParseFlags = rapidjson::kParseFullPrecisionFlag;

// Parses the whole text; false (and a null document) when it is not one JSON value.
bool parseJson(rapidjson::Document& document, const std::string& text);

// Appends the compact JSON text of `value` (rapidjson's writer: whole Doubles keep their ".0").
void appendCompactJson(std::string& out, const rapidjson::Value& value);
std::string compactJson(const rapidjson::Value& value);
// A JSON string literal for `text`, quotes included, escaped as the writer escapes.
std::string jsonString(const std::string& text);

// Replaces `target` by a copy of `source` that shares no memory with it, strings included.
void deepCopy(rapidjson::Document& target, const rapidjson::Value& source);

// Every byte outside the unreserved set (A-Z a-z 0-9 - . _ ~) becomes %XX (upper-case hex).
using platform::http::percentEncode;
// A key as it goes between the quotes of PartitionKey='...' in a URL: quotes doubled (the OData
// literal rule), then percent-encoded.
std::string keyLiteral(const std::string& key);
// The same appended to `out`.
void appendKeyLiteral(std::string& out, const std::string& key);

// What one pass over an entity's JSON text finds (top-level members only).
struct EntityScan {
    bool isObject = false;          // the whole text is one JSON object
    bool hasPartitionKey = false;   // the first "PartitionKey" member is a string
    std::string partitionKey;
    bool hasRowKey = false;
    std::string rowKey;
    // Names of the members that end in "@odata.type" (the type annotations present).
    std::vector<std::string> typeAnnotations;
    // Members whose number is written in floating form, with the offset just past the number.
    std::vector<std::pair<std::string, size_t>> floatingNumbers;
    std::string scratch;  // the scan's working copy of the text
};
EntityScan scanEntity(const std::string& text);
// The same over text[0, size), into `scan` (cleared first; its storage is reused, so a caller
// scanning many entities allocates little).
void scanEntity(const char* text, size_t size, EntityScan& scan);
// The same, always through the library's JSON reader. scanEntity reads a flat entity as a
// backup stores it in one pass of its own and leaves every other text to this; both give the
// same results for every text.
void scanEntityByReader(const char* text, size_t size, EntityScan& scan);
// The entity's partition key as scanEntity reads it (the first top-level string member of that
// name, unescaped); "" when the text is no entity or has none.
std::string partitionKeyOf(const std::string& text);
// A key that is the same for two entity texts whenever partitionKeyOf is (what groups lines by
// partition). For a line as the backup writes it, the raw text of the key, found without
// parsing; other texts take partitionKeyOf. Texts that are no entity may get any key.
std::string partitionGroupOf(const std::string& text);
// Both keys as scanEntity reads them, from text[0, size), reading only as far as they stand
// (the rest of the text is not checked); false when either is not found.
bool keysOf(const char* text, size_t size, std::string& partitionKey, std::string& rowKey);

// The entity text with "<name>@odata.type":"Edm.Double" added right after every floating-form
// number member that has no type annotation; every other byte is kept. `scan` is scanEntity(text).
std::string annotateDoubles(const std::string& text, const EntityScan& scan);
// The same appended to `out`, for text[0, size).
void appendAnnotated(std::string& out, const char* text, size_t size, const EntityScan& scan);

// The entity re-written by rapidjson's compact writer, numbers copied digit for digit.
// False when the text is not one JSON value.
bool rewriteCompact(const std::string& text, std::string& out);

// What one pass over a page of entities (an entity query's reply) finds.
struct PageScan {
    bool isObject = false;  // the whole text is one JSON object
    // The first top-level member of each continuation name, when it is a string.
    bool hasNextPartitionKey = false;
    std::string nextPartitionKey;
    bool hasNextRowKey = false;
    std::string nextRowKey;
    size_t entities = 0;
    // The lines are the elements' own text, copied (every element was in the writer's form).
    bool verbatim = false;
    std::string scratch;  // the pass's working copy of the text
    std::vector<size_t> lineEnds;  // the own pass's: where each element's line feed goes
};
// How streamPage writes the lines: the fastest way that gives the writer's bytes; always
// through the writer (the reference the fast ways are checked against); or through rapidjson's
// reader, lines copied where the elements are in the writer's form (what Fastest does with a
// page our own pass declines).
enum class PageWriting { Fastest, Writer, Reader };
// Reads a page in one pass, without building a document: every element of the first top-level
// "value" array is appended to `lines` as compact JSON and a line feed, as rapidjson's writer
// writes it, except that numbers keep the text the service sent. False (`lines` then holds an
// unfinished page) when the text is not one JSON object whose first "value" member is an array.
// The names are those of the two continuation members. A NUL in the text makes it invalid.
// Lines are appended to what `lines` holds already.
bool streamPage(const char* text, size_t size, rapidjson::StringBuffer& lines, PageScan& page, const char* partitionKeyName,
                const char* rowKeyName, PageWriting writing = PageWriting::Fastest);

// streamPage's own pass over a page in the shape the service sends, without the reader and
// without a working copy of the text: one object, compact (white space only around it), whose
// first "value" member is an array of flat objects of strings, numbers and literals, all in the
// form rapidjson's writer writes (plain bytes, and only the escapes the writer makes), and whose
// other members are strings, numbers or literals. For such a text it gives what streamPage gives
// (lines appended, `page` filled, verbatim) and returns true; for any other text, valid or not,
// it returns false with `lines` as it was and `page` in any state, and the reader must decide.
bool scanCompactPage(const char* text, size_t size, rapidjson::StringBuffer& lines, PageScan& page,
                     const char* partitionKeyName, const char* rowKeyName);
// The same without a copy, for a text the caller may have changed: the lines are made where the
// elements stand (the comma or bracket after each becomes its line feed) and are
// [lines, lines + linesSize) of `text`. False, with the text unchanged, when the reader must
// decide.
bool scanCompactPageInPlace(char* text, size_t size, PageScan& page, const char* partitionKeyName,
                            const char* rowKeyName, const char*& lines, size_t& linesSize);

// The working memory of one client's page queries, kept from page to page.
struct PageBuffers {
    rapidjson::StringBuffer lines;
    PageScan page;
};

// The working memory of one client's batches, kept from batch to batch: a body of a hundred
// operations is tens of kilobytes, and the entity scan's strings are reused for every entity.
struct BatchBuffers {
    std::string body;
    std::string entity;  // an entity without its first member
    EntityScan scan;
    unsigned char boundaryBase[16] = {0};  // random, drawn once per client
    unsigned long long boundaries = 0;     // boundaries named so far
};

// True when a batch reply body carries exactly `operations` operation responses and each of
// them has a 2xx status. The service answers a batch with 202 even when its change set was
// refused as a whole (then with one failed response); a reply cut short carries too few.
bool batchReplyConfirms(const std::string& body, size_t operations);

}  // namespace table_text
