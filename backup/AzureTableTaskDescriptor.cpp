#include "backup/AzureTableTaskDescriptor.h"

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "platform/log/LogWriter.h"

#define DESCRIPTOR_LOG(level, ...) AZT_LOG_LINE(*g_ptrLogWriter.operator->(), level, __VA_ARGS__)

namespace AzureTableIDA {

namespace {

std::string decimal(long long value) {
    char text[32];
    std::snprintf(text, sizeof text, "%lld", value);
    return text;
}

long long leadingNumber(const std::string& text) { return std::strtoll(text.c_str(), nullptr, 10); }

long long streamNumber(const std::string& text) {
    long long value = 0;
    std::istringstream in(text);
    in >> value;  // a failed read leaves 0
    return value;
}

}  // namespace

void AzureTableTaskDescriptor::save(DistributedIDA::DINameValue& scratch,
                                    std::vector<DistributedIDA::DINameValue>& list) const {
    DESCRIPTOR_LOG(2, "Saving storageAccount and others into options");
    const std::pair<const char*, std::string> records[] = {
        {"storageAccount", storageAccount},
        {"tableName", tableName},
        {"accessKey", accessKey},
        {"accessURL", accessURL},
        {"closeAfileAfterTask", closeAfileAfterTask ? "1" : "0"},
        {"JSONDescription", JSONDescription},
        {"RestartContext", RestartContext},
        {"RestoreMetadata", RestoreMetadata},
        {"timeStarted", decimal(timeStarted)},
        {"fromTime", decimal(fromTime)},
    };
    for (const auto& record : records) {
        scratch.setName(record.first);
        scratch.setValue(record.second);
        list.push_back(scratch);
    }
}

CTnError AzureTableTaskDescriptor::restore(const std::map<std::string, std::string>& values) {
    std::string* const strings[] = {&storageAccount, &tableName,       &accessKey,      &accessURL,
                                    &JSONDescription, &RestartContext, &RestoreMetadata};
    const char* const stringNames[] = {"storageAccount",  "tableName",      "accessKey",      "accessURL",
                                       "JSONDescription", "RestartContext", "RestoreMetadata"};
    std::string text;
    for (size_t i = 0; i < sizeof strings / sizeof strings[0]; ++i) {
        CTnError error = extractValueFromMap(values, stringNames[i], text);
        if (error.isError()) return error.pushLocation(CTN_LOCATION);
        *strings[i] = text;
    }
    long long* const numbers[] = {&timeStarted, &fromTime};
    const char* const numberNames[] = {"timeStarted", "fromTime"};
    for (size_t i = 0; i < 2; ++i) {
        CTnError error = extractValueFromMap(values, numberNames[i], text);
        if (error.isError()) return error.pushLocation(CTN_LOCATION);
        *numbers[i] = leadingNumber(text);
    }
    CTnError error = extractValueFromMap(values, "closeAfileAfterTask", text);
    if (error.isError()) return error.pushLocation(CTN_LOCATION);
    closeAfileAfterTask = text != "0";
    return CTnError();
}

void AzureTableTaskDescriptor::save(std::vector<std::string>& list) const {
    list = {storageAccount,  tableName,       accessKey,           accessURL,        JSONDescription,
            RestartContext, RestoreMetadata, decimal(timeStarted), decimal(fromTime)};
}

bool AzureTableTaskDescriptor::restore(const std::vector<std::string>& list) {
    if (list.size() != 9) return false;
    storageAccount = list[0];
    tableName = list[1];
    accessKey = list[2];
    accessURL = list[3];
    JSONDescription = list[4];
    RestartContext = list[5];
    RestoreMetadata = list[6];
    timeStarted = streamNumber(list[7]);
    fromTime = streamNumber(list[8]);
    return true;
}

CTnError AzureTableTaskDescriptor::extractValueFromMap(std::map<std::string, std::string> values,
                                                       const std::string& name, std::string& value) {
    auto found = values.find(name);
    if (found == values.end())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed, "Value not found in map for name [%s]",
                                       name.c_str());
    value = found->second;
    return CTnError();
}

bool AzureTableTaskDescriptor::operator==(const AzureTableTaskDescriptor& other) const {
    return storageAccount == other.storageAccount && tableName == other.tableName && accessKey == other.accessKey &&
           accessURL == other.accessURL && JSONDescription == other.JSONDescription &&
           RestartContext == other.RestartContext && fromTime == other.fromTime && timeStarted == other.timeStarted;
}

void AzureTableTaskDescriptor::Log() const { DESCRIPTOR_LOG(0, "table[%s] ", tableName.c_str()); }

CTnError AzureTableTaskDescriptor::saveToFile(const std::string& path, platform::store::FileSystem& fs) const {
    DistributedIDA::DINameValue scratch;
    std::vector<DistributedIDA::DINameValue> records;
    save(scratch, records);
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> writer(buffer);
    writer.StartObject();
    for (const auto& record : records) {
        const std::string name = record.name(), value = record.value();
        writer.Key(name.data(), static_cast<rapidjson::SizeType>(name.size()));
        writer.String(value.data(), static_cast<rapidjson::SizeType>(value.size()));
    }
    writer.EndObject();
    std::string error;
    if (!platform::store::writeFileDurably(fs, path, std::string(buffer.GetString(), buffer.GetSize()), error))
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "cannot save the task descriptor of table [%s] to %s: %s", tableName.c_str(),
                                       path.c_str(), error.c_str());
    return CTnError();
}

CTnError AzureTableTaskDescriptor::loadFromFile(const std::string& path, platform::store::FileSystem& fs) {
    std::string text, error;
    if (!fs.readFile(path, text, error))
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "cannot read the task descriptor file %s: %s", path.c_str(), error.c_str());
    // The file's text is never quoted in a message: it holds an access key.
    rapidjson::Document document;
    document.Parse(text.data(), text.size());
    if (document.HasParseError() || !document.IsObject())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "%s is not a task descriptor file: it is not one JSON object", path.c_str());
    std::map<std::string, std::string> values;
    for (const auto& member : document.GetObject()) {
        std::string name(member.name.GetString(), member.name.GetStringLength());
        if (!member.value.IsString())
            return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                           "%s is not a task descriptor file: the value of [%s] is not text",
                                           path.c_str(), name.c_str());
        values[name].assign(member.value.GetString(), member.value.GetStringLength());
    }
    AzureTableTaskDescriptor read(*this);
    CTnError restored = read.restore(values);
    if (restored.isError())
        return FXErrorUtil::ErrorWin32(CTN_LOCATION, CTnError::kOperationFailed,
                                       "%s is not a complete task descriptor file: %s", path.c_str(),
                                       restored.getMessage().c_str());
    *this = read;
    return CTnError();
}

}  // namespace AzureTableIDA
