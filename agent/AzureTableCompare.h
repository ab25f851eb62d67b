#pragma once
// Comparison of two tables entity by entity, property by property, value and type, leaving out
// what the service sets itself (Timestamp and the entity tag).
//
// Both tables are read as streams of pages in the service's key order (PartitionKey, then
// RowKey) and merged: a page of a table is fetched only when the merge has used up the previous
// one, so at most one page of each table is held at a time, however large the tables. A table
// whose entities come back out of key order (or twice) cannot be merged: the comparison then
// ends with an error rather than report differences that are not there.
//
// Ownership: the functions own nothing beyond the call; the readers they are handed are called
// on the calling thread only. Failure: a reader's error, an entity that is not JSON or keys out
// of order end the comparison with `complete` false and `error` set; what was found until then
// is kept in the result.
#include <cstddef>
#include <functional>
#include <string>
#include <vector>

#include "platform/util/Export.h"

class AzureTableStorage;

namespace AzureTableIDA {

// Fetches the next page of one table: fills `page` (handed in empty) with its entities as JSON
// lines, each ended by '\n' (a page may hold none), and `more` with whether another page
// follows. False with `error` set when the page cannot be read.
using AzureTablePageReader = std::function<bool(std::string& page, bool& more, std::string& error)>;

// How the service orders keys: by their UTF-8 bytes (that is, by code point), or by their UTF-16
// code units. The two differ only where a character beyond U+FFFF meets one of U+E000-U+FFFF.
enum class AzureTableKeyOrder { Utf8Bytes, Utf16Units };

struct AZT_API AzureTableComparison {
    bool complete = false;     // both tables were read to their end; else `error` says why not
    bool outOfOrder = false;   // not complete because a table's keys broke `order`
    std::string error;
    AzureTableKeyOrder order = AzureTableKeyOrder::Utf8Bytes;  // the order the tables were merged in
    size_t entitiesA = 0;      // entities read from each table
    size_t entitiesB = 0;
    size_t differences = 0;    // differences found
    std::vector<std::string> listed;  // the first of them (at most maxListed), in key order
};

// Merges the pages of table `nameA` with those of `nameB`, both expected in `order`. Each
// difference is one line of text:
//   only in <table>: (PartitionKey 'p', RowKey 'r')
//   differs (PartitionKey 'p', RowKey 'r') property <name>: <A> has <type> <value>, <B> has ...
AZT_API AzureTableComparison compareTableStreams(const std::string& nameA, const AzureTablePageReader& readA,
                                                 const std::string& nameB, const AzureTablePageReader& readB,
                                                 size_t maxListed, AzureTableKeyOrder order);

// compareTableStreams in UTF-8 byte order and, when a table's keys break that order, once more
// from the first pages (fresh readers from `openA` and `openB`) in UTF-16 code unit order: the
// service's order is whichever of the two its keys keep. A table in neither order fails.
AZT_API AzureTableComparison compareTables(const std::string& nameA, const std::function<AzureTablePageReader()>& openA,
                                           const std::string& nameB, const std::function<AzureTablePageReader()>& openB,
                                           size_t maxListed);

// A reader of the pages of `table` through `client` (queryEntities, no time filter), from the
// first page to the last. The client must outlive the reader.
AZT_API AzureTablePageReader tablePageReader(AzureTableStorage& client, const std::string& table);

}  // namespace AzureTableIDA
