// A stand-in for the parts of the Table service client that the restore engine calls, used by
// this test binary only until the real client is merged. Removed then.
#include <uuid/uuid.h>

#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "platform/util/Sleeper.h"
#include "table_service/AzureTableStorage.h"

int classifyAzureTableError(const std::string& body) {
    if (body.find("#ThrottlingException") != std::string::npos) return Throttled;
    if (body.find("BeingDeleted") != std::string::npos) return BeingDeleted;
    if (body.find("ResourceInUse") != std::string::npos) return ResourceInUse;
    if (body.find("ResourceNotFound") != std::string::npos) return ResourceNotFound;
    return Failed;
}

AzureTableDescription::AzureTableDescription(const rapidjson::Value& value) { assign(value); }
AzureTableDescription::AzureTableDescription(const AzureTableDescription& other)
    : tableName(other.tableName) {
    document.CopyFrom(other.document, document.GetAllocator());
}
void AzureTableDescription::assign(const rapidjson::Value& value) {
    document.CopyFrom(value, document.GetAllocator());
    tableName.clear();
    if (value.IsObject()) {
        auto it = value.FindMember("TableName");
        if (it != value.MemberEnd() && it->value.IsString()) tableName = it->value.GetString();
    }
}
std::string AzureTableDescription::createTableRequest(const std::string& name) const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("TableName");
    w.String(name.empty() ? tableName : name);
    w.EndObject();
    return buffer.GetString();
}
std::string AzureTableDescription::toDescriptionJson() const {
    rapidjson::StringBuffer buffer;
    rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
    w.StartObject();
    w.Key("table");
    document.Accept(w);
    w.EndObject();
    return buffer.GetString();
}

AzureTableStorage::AzureTableStorage(AzureTableCredentials& c, IdaEnvironment& environment)
    : CAzureTableStorageInfo(environment, App::CloudAppsInstanceType) {
    m_accountName = c.accountName;
    m_accountUrl = c.accountUrl;
    m_accessKey = c.accessKey;
    m_spareText = c.spareText;
    m_spareNumber = c.spareNumber;
}
AzureTableStorage::~AzureTableStorage() = default;

void AzureTableStorage::log(const char* fn, const std::string& message) { m_environment->logMessage(fn, message); }

namespace {
AzureTableOutcome<AzureTableDescription> descriptionOutcome(const std::string& body) {
    rapidjson::Document d;
    d.Parse(body.c_str());
    if (d.HasParseError()) d.SetNull();
    return AzureTableOutcome<AzureTableDescription>(std::make_shared<AzureTableDescription>(d));
}
}  // namespace

AzureTableOutcome<AzureTableDescription> AzureTableStorage::describeTable(const std::string& table) {
    auto request = baseRequest("");
    request.path = "Tables('" + table + "')";
    auto response = requestService.executeRequest(request, 50, 60000);
    if (response.status == 200) return descriptionOutcome(response.body);
    return AzureTableOutcome<AzureTableDescription>(response.body);
}

AzureTableOutcome<AzureTableDescription> AzureTableStorage::createTable(const std::string& payload) {
    auto request = baseRequest("create");
    request.path = "Tables";
    request.body = payload;
    log("createTable", "CreateTable payload: " + payload);
    while (true) {
        auto response = requestService.executeRequest(request, 50, 60000);
        if (response.status == 201) return descriptionOutcome(response.body);
        AzureTableOutcome<AzureTableDescription> error(response.body);
        if (error.errorKind != BeingDeleted) return error;
        log("createTable", "Table is still being deleted. Retrying");
        platform::sleeper().sleepMs(5000);
    }
}

AzureTableOutcome<bool> AzureTableStorage::deleteTable(const std::string& table) {
    auto request = baseRequest("delete");
    request.path = "Tables('" + table + "')";
    auto response = requestService.executeRequest(request, 50, 60000);
    if (response.status == 204) return AzureTableOutcome<bool>(std::make_shared<bool>(true));
    return AzureTableOutcome<bool>(response.body);
}

bool AzureTableStorage::waitForActiveTable(const std::string& table, unsigned int timeoutMs) {
    unsigned int elapsed = 0;
    while (true) {
        if (describeTable(table).errorKind == 0) {
            log("waitForActiveTable", "waitForActiveTable done");
            return true;
        }
        log("waitForActiveTable", "waitForActiveTable sleeping");
        platform::sleeper().sleepMs(2000);
        elapsed += 2000;
        if (elapsed > timeoutMs) {
            log("waitForActiveTable", "waitForActiveTable timed out");
            return false;
        }
    }
}

bool AzureTableStorage::waitForDeletedTable(const std::string& table, unsigned int timeoutMs) {
    unsigned int elapsed = 0;
    while (true) {
        if (describeTable(table).errorKind == ResourceNotFound) {
            log("waitForDeletedTable", "waitForDeletedTable done");
            return true;
        }
        log("waitForDeletedTable", "waitForDeletedTable sleeping");
        platform::sleeper().sleepMs(40000);
        elapsed += 40000;
        if (elapsed > timeoutMs) {
            log("waitForDeletedTable", "waitForDeletedTable timed out");
            return false;
        }
    }
}

std::string AzureTableStorage::removeOdataTag(std::string entity) {
    size_t p = entity.find('"');
    p = p == std::string::npos ? 0 : p + 1;
    std::string rest = entity.substr(p);
    size_t q = rest.find(',');
    q = q == std::string::npos ? 0 : q + 1;
    return "{" + rest.substr(q);
}

std::string AzureTableStorage::generate_boundary_name(std::string prefix) {
    uuid_t id;
    uuid_generate(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return prefix + "_" + text;
}
void AzureTableStorage::addBoundary(std::string& body, std::string name, bool last) {
    body += "--" + name;
    if (last) body += "--";
    body += "\n";
}
void AzureTableStorage::addContentType(std::string& body, const std::string& name) {
    body += "Content-Type: multipart/mixed; boundary=" + name + "\n\n";
}
void AzureTableStorage::addMimeChangesetHeaders(std::string& body) {
    body += "Content-Type: application/http\nContent-Transfer-Encoding: binary\n\n";
}

namespace {
bool stringMember(const std::string& json, const char* name, std::string& out) {
    rapidjson::Document d;
    d.Parse(json.c_str());
    if (d.HasParseError() || !d.IsObject()) return false;
    auto it = d.FindMember(name);
    if (it == d.MemberEnd() || !it->value.IsString()) return false;
    out = it->value.GetString();
    return true;
}
}  // namespace

AzureTableOutcome<std::vector<std::string>> AzureTableStorage::batchInsert(const std::string& table,
                                                                           std::vector<std::string> entities) {
    auto batch = baseRequest("batch");
    batch.path = "$batch";
    auto pending = std::make_shared<std::vector<std::string>>();
    auto it = entities.begin();
    while (it != entities.end()) {
        std::string batchBoundary = generate_boundary_name("batch");
        std::string changeset = generate_boundary_name("changeset");
        batch.headers["Content-Type"] = "multipart/mixed; boundary=" + batchBoundary;
        std::string body;
        addBoundary(body, batchBoundary, false);
        addContentType(body, changeset);
        std::string batchKey;
        stringMember(*it, "PartitionKey", batchKey);
        log("batchInsert", "Preparing request for batchInsert");
        std::vector<std::string> items;
        auto limit = it + std::min<long>(100, entities.end() - it);
        while (it != entities.end()) {
            std::string clean = removeOdataTag(*it);
            std::string pk, rk;
            bool has = stringMember(clean, "PartitionKey", pk);
            if ((has && pk != batchKey) || (!has && !batchKey.empty())) {
                if (items.empty()) {  // cannot join any batch: hand it back and move on
                    pending->push_back(*it++);
                    continue;
                }
                log("batchInsert", "Partition key changed");
                break;
            }
            stringMember(clean, "RowKey", rk);
            items.push_back(*it);
            addBoundary(body, changeset, false);
            addMimeChangesetHeaders(body);
            auto op = baseRequest("insert/replace");
            op.path += table + "(PartitionKey='" + pk + "',RowKey='" + rk + "') HTTP/1.1";
            op.body = clean;
            op.headers["Accept"] = "application/json;odata=minimalmetadata";
            op.headers["Accept-Charset"] = "UTF-8";
            op.headers["Content-Type"] = "application/json";
            body += op.toString();
            ++it;
            if (it == limit) break;
        }
        if (items.empty()) continue;
        addBoundary(body, changeset, true);
        addBoundary(body, batchBoundary, true);
        batch.body = body;
        batch.headers.erase("Authorization");
        auto response = requestService.executeRequest(batch, 50, 60000);
        if (response.status == 202) {
            log("batchInsert", "Items insert successful");
        } else {
            log("batchInsert", "Items insert failed");
            pending->insert(pending->end(), items.begin(), items.end());
        }
    }
    if (!pending->empty()) {
        log("batchInsert", "Returning success with some to be processed items");
        return AzureTableOutcome<std::vector<std::string>>(pending);
    }
    log("batchInsert", "Returning success with no additional items");
    return AzureTableOutcome<std::vector<std::string>>(std::shared_ptr<std::vector<std::string>>());
}
