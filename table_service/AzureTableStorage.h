#pragma once
// The client of one storage account's Table service. Every operation builds a fresh request,
// executes it synchronously through the account's transport and interprets the reply. Failures
// are values (outcomes, error kinds, bools), never exceptions. One thread at a time (with page
// read-ahead on, the client also sends from a thread of its own: see setReadAhead).
//
// The client works on its environment's runtime (IdaEnvironment::runtime()): a stop requested on
// that runtime ends createTable's wait for an old table to go and the two wait loops at once (a
// failure / false); the transport sends nothing more after it.
#include <memory>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "platform/http/CAzureTableStorageInfo.h"
#include "platform/ida/IdaEnvironment.h"
#include "platform/ida/IdaOutput.h"
#include "platform/util/Export.h"
#include "table_service/AzureTableCredentials.h"
#include "table_service/AzureTableDescription.h"
#include "table_service/AzureTableErrors.h"

namespace table_text {
struct PageBuffers;
struct BatchBuffers;
}
namespace table_service {
class PageReadAhead;
}

namespace App {
constexpr int CloudAppsInstanceType = 32;
}

enum AzureTableErrorKind {
    Success = 0,
    Failed = 1,
    Throttled = 2,
    BeingDeleted = 3,
    ResourceNotFound = 4,
    ResourceInUse = 6,
};

// The error kind of a failed reply, from its error code only (AzureTableErrors.h has the rules):
// the x-ms-error-code header, else the code member of the body. The body-only form serves
// bodies kept without their headers.
AZT_API int classifyAzureTableError(const AzureTableResponse& reply);
AZT_API int classifyAzureTableError(const std::string& body);

template <typename T>
struct AzureTableOutcome {
    AzureTableOutcome() = default;
    explicit AzureTableOutcome(std::shared_ptr<T> value) : result(std::move(value)), errorKind(0) {}
    // An error outcome: the body is kept verbatim and classified.
    explicit AzureTableOutcome(std::string body)
        : errorKind(classifyAzureTableError(body)), errorMessage(std::move(body)) {}
    // The error outcome of a failed reply: its body kept verbatim, its kind from its error code.
    explicit AzureTableOutcome(const AzureTableResponse& reply)
        : errorKind(classifyAzureTableError(reply)), errorMessage(reply.body) {}

    std::shared_ptr<T> result;
    int errorKind = 0;
    std::string errorMessage;
};

struct AZT_API AzureTableContinuationToken {
    std::string nextPartitionKey;
    std::string nextRowKey;
};

// nextPartitionKey ":" nextRowKey, or "" when both are empty (no page follows): the text an
// output is handed after a page (RestartPoint::afterPageString).
AZT_API std::string toRestartString(const AzureTableContinuationToken& token);

namespace table_service {
// Copies the x-ms-continuation-NextPartitionKey/NextRowKey reply headers into the JSON object
// body as top-level string members of the same names (first in the object). Bodies that are
// not a JSON object are left alone.
AZT_API void foldContinuationIntoBody(AzureTableResponse& response);
}  // namespace table_service

// A parsed page kept in memory (name spelled so).
class AZT_API AzureTableQueryRespone {
public:
    explicit AzureTableQueryRespone(const rapidjson::Value& reply);
    AzureTableQueryRespone(const AzureTableQueryRespone& other);
    void assign(const rapidjson::Value& reply);

    std::vector<std::string> entities;
    AzureTableContinuationToken continuation;
};

// An output that only notes whether any entity arrived (used by isTableEmpty).
class AZT_API EmptyCheckerOutput : public IdaOutput {
public:
    explicit EmptyCheckerOutput(IdaEnvironment* environment);
    bool putString(const std::string& text) override;
    void updateRestart(const std::string& restart) override;
    bool flush() override;
    bool close(const std::string& restart) override;
    bool wasDataWritten() const { return dataWritten; }

private:
    bool dataWritten = false;
};

class AZT_API AzureTableStorage : public CAzureTableStorageInfo {
public:
    AzureTableStorage(AzureTableCredentials& credentials, IdaEnvironment& environment);
    ~AzureTableStorage() override;

    // Table lifecycle. A description is a success only when the reply names the table. A
    // create answered "already exists", or a delete answered "not found", after an earlier
    // attempt of the same call may have been carried out (its reply was lost) has succeeded.
    AzureTableOutcome<AzureTableDescription> describeTable(const std::string& table);
    AzureTableOutcome<AzureTableDescription> createTable(const std::string& payload);
    AzureTableOutcome<bool> deleteTable(const std::string& table);
    bool waitForActiveTable(const std::string& table, unsigned int timeoutMs);
    bool waitForDeletedTable(const std::string& table, unsigned int timeoutMs);

    // Entity query and page streaming. queryEntities fetches one page (continuation keys are
    // percent-encoded in the URL) and streams it: 0 written, 1 refused by the output or the reply
    // was not a page, else the error kind; `start` and `next` may be one object. parseToStream
    // writes one putString of JSON lines and one updateRestart, or nothing and returns false.
    // `select` names the properties to return ("PartitionKey,RowKey" for a keys-only listing);
    // null: every property.
    int queryEntities(const std::string& table, const AzureTableContinuationToken& start, IdaOutput* output,
                      AzureTableContinuationToken& next, long long fromTime, long long toTime,
                      const char* select = nullptr);
    // With read-ahead on, queryEntities asks for the next page (when the reply's continuation
    // headers name it) on a thread of the client's own while it reads the current one, in one
    // attempt, and the next call for that page takes its reply. Meanwhile only queryEntities may
    // be called (the transport is busy); a page read ahead and never asked for is dropped. A page
    // whose read-ahead met a failure the transport retries is sent again, retries and all; a
    // reply that turns out not to be a page is fetched again with the transport's check and
    // retries. The thread ends with the client (which waits for the one attempt in flight) or
    // when read-ahead is turned off.
    void setReadAhead(bool on);
    bool parseToStream(const std::string& body, IdaOutput* output, AzureTableContinuationToken& next);
    bool isTableEmpty(const std::string& table);

    // Entity writes and batch transactions. batchInsert sends consecutive entities of one
    // partition as insert-or-replace transactions (at most 100 operations and 4 MiB each) and
    // returns the lines that were not written (refused batches, texts that are no entity), in
    // input order; keys in paths are quote-doubled and percent-encoded, floating-form numbers
    // without a type get an Edm.Double annotation.
    int insertEntity(const std::string& table, std::string entity);
    int insertOrReplaceEntity(const std::string& table, std::string entity);
    // Deletes one entity whatever its version (If-Match: *). Success also when the service has no
    // such entity (`existed` then says false); an error kind otherwise (a missing table among them).
    int deleteEntity(const std::string& table, const std::string& partitionKey, const std::string& rowKey,
                     bool* existed = nullptr);
    AzureTableOutcome<std::vector<std::string>> batchInsert(const std::string& table,
                                                            std::vector<std::string> entities);
    // The same over the caller's lines: those not written are moved out of `entities` into the
    // outcome (and left empty there); the written ones are left as they were, so their storage
    // can be used again.
    AzureTableOutcome<std::vector<std::string>> batchInsertInPlace(const std::string& table,
                                                                   std::vector<std::string>& entities);
    static std::string removeOdataTag(std::string entity);
    static std::string generate_boundary_name(std::string prefix);
    static void addBoundary(std::string& body, std::string name, bool last);
    static void addContentType(std::string& body, const std::string& name);
    static void addMimeChangesetHeaders(std::string& body);

    // Names of the account's tables, in listing order (follows continuation); false when the
    // listing failed, with `error` saying why in words.
    bool queryTables(std::vector<std::string>& tables, std::string* error = nullptr);

    // Time stamps and filters.
    static std::string toAzureFormatTime(long long seconds);
    static std::string getAzureUriToTimeFilter(std::string time);
    static std::string getAzureUriFromTimeFilter(std::string time);

protected:
    // Sends one request through the account's transport (every operation passes 50 attempts,
    // 60 s each) and reads the reply as the Table service's: on emulator accounts a describe goes
    // through the describe adapter (AzureTableListing.h); a 200 reply gets its continuation
    // headers folded into its body; a transport failure gets an "odata.error" body made of its
    // failure code and message.
    AzureTableResponse execute(AzureTableRequest& request, unsigned int maxAttempts = 50);

private:
    // A boundary name for a batch body: the prefix, "_" and a lower-case UUID, a new one for
    // every call (a random one drawn once per client, its last digits counting the calls).
    std::string nextBoundary(const char* prefix);
    // The working memory of batchInsert, kept from batch to batch.
    std::unique_ptr<table_text::BatchBuffers> m_batchBuffers;

    // The transport alone, with the failure body filled in.
    AzureTableResponse send(AzureTableRequest& request, unsigned int maxAttempts);
    void log(const char* functionName, const std::string& message);

    // The working memory of queryEntities, kept from page to page (a page is a few hundred KB:
    // fresh buffers for every page cost page faults).
    std::unique_ptr<table_text::PageBuffers> m_pageBuffers;
    std::unique_ptr<table_service::PageReadAhead> m_readAhead;  // while read-ahead is on
    AzureTableRequest pageRequest(const std::string& table, const AzureTableContinuationToken& start,
                                  long long fromTime, long long toTime, const char* select) const;
};
