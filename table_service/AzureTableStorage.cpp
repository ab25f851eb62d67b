// The client object, error classification, time filters and the table lifecycle.
#include "table_service/AzureTableStorage.h"

#include <cstdio>
#include <ctime>

#include "platform/runtime/Runtime.h"
#include "table_service/AzureTableListing.h"
#include "table_service/PageReadAhead.h"
#include "table_service/TableServiceText.h"

namespace {

constexpr unsigned long long kCreateRetryMs = 5000;
constexpr unsigned long long kActivePollMs = 2000;
constexpr unsigned long long kDeletedPollMs = 40000;

// The description in a reply, or null when the reply holds no table (no string "TableName").
std::shared_ptr<AzureTableDescription> descriptionFromReply(const std::string& body) {
    rapidjson::Document document;
    if (!table_text::parseJson(document, body) || !document.IsObject()) return nullptr;
    auto name = document.FindMember("TableName");
    if (name == document.MemberEnd() || !name->value.IsString()) return nullptr;
    return std::make_shared<AzureTableDescription>(document);
}

std::string clipped(const std::string& text) { return text.size() > 200 ? text.substr(0, 200) + "..." : text; }

// An error outcome made on this side, in the service's error body form.
template <typename T>
AzureTableOutcome<T> localFailure(const std::string& code, const std::string& message) {
    return AzureTableOutcome<T>(table_service::odataErrorBody(code, message));
}

}  // namespace

int classifyAzureTableError(const AzureTableResponse& reply) {
    return table_service::errorKindOfCode(table_service::errorCodeOf(reply));
}

int classifyAzureTableError(const std::string& body) {
    return table_service::errorKindOfCode(table_service::errorCodeOf(body));
}

AzureTableStorage::AzureTableStorage(AzureTableCredentials& credentials, IdaEnvironment& environment)
    : CAzureTableStorageInfo(environment, App::CloudAppsInstanceType) {
    m_accountName = credentials.accountName;
    m_accountUrl = credentials.accountUrl;
    m_accessKey = credentials.accessKey;
    m_spareText = credentials.spareText;
    m_spareNumber = credentials.spareNumber;
}

AzureTableStorage::~AzureTableStorage() = default;

AzureTableResponse AzureTableStorage::send(AzureTableRequest& request, unsigned int maxAttempts) {
    AzureTableResponse response = requestService.executeRequest(request, maxAttempts, 60000);
    if (response.status == 0 && response.body.empty() && !response.failureCode.empty())
        response.body = table_service::odataErrorBody(response.failureCode, response.failureMessage);
    return response;
}

AzureTableResponse AzureTableStorage::execute(AzureTableRequest& request, unsigned int maxAttempts) {
    auto sendOne = [this, maxAttempts](AzureTableRequest& one) { return send(one, maxAttempts); };
    AzureTableResponse response;
    std::string describedTable;
    if (request.signing.pathStyle && table_service::isDescribeTableRequest(request, describedTable))
        response = table_service::describeThroughTableQuery(request, describedTable, sendOne);
    else
        response = send(request, maxAttempts);
    if (response.status == 200) table_service::foldContinuationIntoBody(response);
    return response;
}

bool AzureTableStorage::queryTables(std::vector<std::string>& tables, std::string* error) {
    tables.clear();
    AzureTableRequest first = baseRequest("");
    first.path = "Tables";
    table_service::AzureTableListing listing(first, [this](AzureTableRequest& page) { return execute(page); });
    while (listing.next()) tables.insert(tables.end(), listing.names().begin(), listing.names().end());
    if (listing.error().empty()) return true;
    if (error) *error = "listing the tables of account '" + m_accountName + "' failed: " + listing.error();
    return false;
}

void AzureTableStorage::log(const char* functionName, const std::string& message) {
    m_environment->logMessage(functionName, message);
}

std::string AzureTableStorage::toAzureFormatTime(long long seconds) {
    time_t when = static_cast<time_t>(seconds);
    struct tm fields {};
    if (gmtime_r(&when, &fields) == nullptr) fields = tm{};
    char text[64];
    std::snprintf(text, sizeof text, "%02d-%02d-%02dT%02d:%02d:%02dZ", fields.tm_year + 1900, fields.tm_mon + 1,
                  fields.tm_mday, fields.tm_hour, fields.tm_min, fields.tm_sec);
    return text;
}

std::string AzureTableStorage::getAzureUriToTimeFilter(std::string time) {
    return "Timestamp%20le%20datetime'" + time + "'";
}

std::string AzureTableStorage::getAzureUriFromTimeFilter(std::string time) {
    return "Timestamp%20gt%20datetime'" + time + "'";
}

AzureTableOutcome<AzureTableDescription> AzureTableStorage::describeTable(const std::string& table) {
    AzureTableRequest request = baseRequest("");
    request.path = "Tables('" + table + "')";
    AzureTableResponse response = execute(request);
    if (response.status != 200) return AzureTableOutcome<AzureTableDescription>(response);
    // A reply that names no table describes nothing: a null description would be saved and
    // restored as if it were the table's.
    if (auto description = descriptionFromReply(response.body)) return AzureTableOutcome<AzureTableDescription>(description);
    return localFailure<AzureTableDescription>(
        "InvalidReply", "the reply describing table '" + table + "' holds no TableName: " + clipped(response.body));
}

AzureTableOutcome<AzureTableDescription> AzureTableStorage::createTable(const std::string& payload) {
    AzureTableRequest request = baseRequest("create");
    request.path = "Tables";
    request.body = payload;
    log("createTable", "CreateTable payload: " + payload);
    // No bound: the service refuses the name only until the old table is gone. A stop ends it.
    platform::Backoff backoff = platform::Backoff::every(m_environment->runtime(), kCreateRetryMs);
    const auto stopped = [] {
        return localFailure<AzureTableDescription>(
            "OperationCancelled", "creating the table was stopped on request while the old one was being deleted");
    };
    for (;;) {
        AzureTableResponse response = execute(request);
        if (response.status == 201) {
            if (auto description = descriptionFromReply(response.body))
                return AzureTableOutcome<AzureTableDescription>(description);
            // Created all the same; what was asked for describes it.
            if (auto description = descriptionFromReply(payload)) return AzureTableOutcome<AzureTableDescription>(description);
            return localFailure<AzureTableDescription>("InvalidReply",
                                                       "the reply to creating a table holds no TableName: " + clipped(response.body));
        }
        // An earlier attempt whose reply was lost may have created the table: "already exists" to
        // the retry is then this create's own success.
        if (response.status == 409 && response.earlierAttemptMayHaveLanded &&
            table_service::errorCodeOf(response) == "TableAlreadyExists") {
            if (auto description = descriptionFromReply(payload)) {
                log("createTable", "Table exists after a retried create; taken as created");
                return AzureTableOutcome<AzureTableDescription>(description);
            }
        }
        AzureTableOutcome<AzureTableDescription> failure(response);
        if (failure.errorKind != BeingDeleted) return failure;
        if (backoff.stopRequested()) return stopped();
        // A table of this name was just deleted; the service refuses the name until it is gone.
        log("createTable", "Table is still being deleted. Retrying");
        if (backoff.next() != platform::Backoff::Step::Retry) return stopped();
    }
}

AzureTableOutcome<bool> AzureTableStorage::deleteTable(const std::string& table) {
    AzureTableRequest request = baseRequest("delete");
    request.path = "Tables('" + table + "')";
    AzureTableResponse response = execute(request);
    if (response.status == 204) return AzureTableOutcome<bool>(std::make_shared<bool>(true));
    // "Not found" to a retry after an attempt that may have deleted the table is this delete's
    // own success.
    if (response.status == 404 && response.earlierAttemptMayHaveLanded &&
        (classifyAzureTableError(response) == ResourceNotFound || table_service::errorCodeOf(response) == "TableNotFound"))
        return AzureTableOutcome<bool>(std::make_shared<bool>(true));
    return AzureTableOutcome<bool>(response);
}

// The waits count nominal time (the sleeps only), in 64 bits so that a time-out near the top of
// the unsigned range cannot wrap the count and wait for ever.
bool AzureTableStorage::waitForActiveTable(const std::string& table, unsigned int timeoutMs) {
    unsigned long long elapsed = 0;
    platform::Backoff backoff = platform::Backoff::every(m_environment->runtime(), kActivePollMs);
    for (;;) {
        if (describeTable(table).errorKind == Success) {
            log("waitForActiveTable", "waitForActiveTable done");
            return true;
        }
        if (backoff.stopRequested()) {
            log("waitForActiveTable", "waitForActiveTable stopped on request");
            return false;
        }
        log("waitForActiveTable", "waitForActiveTable sleeping");
        if (backoff.next() != platform::Backoff::Step::Retry) {
            log("waitForActiveTable", "waitForActiveTable stopped on request");
            return false;
        }
        elapsed += kActivePollMs;
        if (elapsed > timeoutMs) {
            log("waitForActiveTable", "waitForActiveTable timed out");
            return false;
        }
    }
}

bool AzureTableStorage::waitForDeletedTable(const std::string& table, unsigned int timeoutMs) {
    unsigned long long elapsed = 0;
    platform::Backoff backoff = platform::Backoff::every(m_environment->runtime(), kDeletedPollMs);
    for (;;) {
        if (describeTable(table).errorKind == ResourceNotFound) {
            log("waitForDeletedTable", "waitForDeletedTable done");
            return true;
        }
        if (backoff.stopRequested()) {
            log("waitForDeletedTable", "waitForDeletedTable stopped on request");
            return false;
        }
        log("waitForDeletedTable", "waitForDeletedTable sleeping");
        if (backoff.next() != platform::Backoff::Step::Retry) {
            log("waitForDeletedTable", "waitForDeletedTable stopped on request");
            return false;
        }
        elapsed += kDeletedPollMs;
        if (elapsed > timeoutMs) {
            log("waitForDeletedTable", "waitForDeletedTable timed out");
            return false;
        }
    }
}
