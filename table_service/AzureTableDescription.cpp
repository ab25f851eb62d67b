#include "table_service/AzureTableDescription.h"

#include "table_service/TableServiceText.h"

AzureTableDescription::AzureTableDescription(const rapidjson::Value& value) { assign(value); }

AzureTableDescription::AzureTableDescription(const AzureTableDescription& other) : tableName(other.tableName) {
    table_text::deepCopy(document, other.document);
}

void AzureTableDescription::assign(const rapidjson::Value& value) {
    table_text::deepCopy(document, value);
    tableName.clear();
    if (!value.IsObject()) return;
    auto found = value.FindMember("TableName");
    if (found != value.MemberEnd() && found->value.IsString()) {
        tableName.assign(found->value.GetString(), found->value.GetStringLength());
    }
}

std::string AzureTableDescription::createTableRequest(const std::string& name) const {
    return "{\"TableName\":" + table_text::jsonString(name.empty() ? tableName : name) + "}";
}

std::string AzureTableDescription::toDescriptionJson() const {
    std::string text = "{\"table\":";
    table_text::appendCompactJson(text, document);
    text += '}';
    return text;
}
