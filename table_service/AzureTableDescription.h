#pragma once
// One table as the Table service describes it: the service's JSON (deep-copied, owned) and the
// table's name. Built once, then shared read-only through shared_ptr.
#include <string>

#include <rapidjson/document.h>

#include "platform/util/Export.h"

class AZT_API AzureTableDescription {
public:
    explicit AzureTableDescription(const rapidjson::Value& value);
    AzureTableDescription(const AzureTableDescription& other);
    AzureTableDescription& operator=(const AzureTableDescription&) = delete;

    void assign(const rapidjson::Value& value);
    // {"TableName":"<name>"}: the argument, or this description's own name when it is empty.
    std::string createTableRequest(const std::string& tableName) const;
    // The "description.json" text: {"table":<document>}, compact, nothing after the brace.
    std::string toDescriptionJson() const;

    std::string tableName;
    rapidjson::Document document;
};
