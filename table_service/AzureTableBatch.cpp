// Entity writes: single inserts and deletes, and batch transactions of insert-or-replace operations.
#include <uuid/uuid.h>

#include <algorithm>
#include <cstring>

#include "table_service/AzureTableStorage.h"
#include "table_service/TableServiceText.h"

namespace {

// The service refuses a transaction of more than 100 operations or with a body over 4 MiB.
constexpr size_t kMaxBatchOperations = 100;
constexpr size_t kMaxBatchBytes = 4 * 1024 * 1024;

std::string entityPath(const std::string& table, const std::string& partitionKey, const std::string& rowKey) {
    return table + "(PartitionKey='" + table_text::keyLiteral(partitionKey) + "',RowKey='" +
           table_text::keyLiteral(rowKey) + "')";
}

}  // namespace

std::string AzureTableStorage::removeOdataTag(std::string entity) {
    size_t quote = entity.find('"');
    std::string rest = entity.substr(quote == std::string::npos ? 0 : quote + 1);
    size_t comma = rest.find(',');
    return "{" + rest.substr(comma == std::string::npos ? 0 : comma + 1);
}

std::string AzureTableStorage::generate_boundary_name(std::string prefix) {
    uuid_t id;
    uuid_generate(id);
    char text[37];
    uuid_unparse_lower(id, text);
    return prefix + "_" + text;
}

void AzureTableStorage::addBoundary(std::string& body, std::string name, bool last) {
    body += "--";
    body += name;
    if (last) body += "--";
    body += '\n';
}

void AzureTableStorage::addContentType(std::string& body, const std::string& name) {
    body += "Content-Type: multipart/mixed; boundary=";
    body += name;
    body += "\n\n";
}

void AzureTableStorage::addMimeChangesetHeaders(std::string& body) {
    body += "Content-Type: application/http\nContent-Transfer-Encoding: binary\n\n";
}

std::string AzureTableStorage::nextBoundary(const char* prefix) {
    table_text::BatchBuffers& buffers = *m_batchBuffers;
    uuid_t id;
    std::memcpy(id, buffers.boundaryBase, sizeof id);
    // The last six bytes (the UUID's node) count the boundaries; version and variant stay.
    const unsigned long long count = ++buffers.boundaries;
    for (int i = 0; i < 6; ++i) id[15 - i] ^= static_cast<unsigned char>(count >> (8 * i));
    char text[37];
    uuid_unparse_lower(id, text);
    std::string name = prefix;
    name += '_';
    name += text;
    return name;
}

AzureTableOutcome<std::vector<std::string>> AzureTableStorage::batchInsert(const std::string& table,
                                                                           std::vector<std::string> entities) {
    return batchInsertInPlace(table, entities);
}

AzureTableOutcome<std::vector<std::string>> AzureTableStorage::batchInsertInPlace(const std::string& table,
                                                                                  std::vector<std::string>& entities) {
    static const char* const fn = "batchInsert";
    // The payload of every batch would be copied and scrubbed for a log nobody reads.
    const bool logging = m_environment->logEnabled();
    if (!m_batchBuffers) {
        m_batchBuffers.reset(new table_text::BatchBuffers);
        uuid_generate(m_batchBuffers->boundaryBase);
    }
    table_text::BatchBuffers& buffers = *m_batchBuffers;
    AzureTableRequest batchRequest = baseRequest("batch");
    batchRequest.path = "$batch";
    // Each operation carries only what the service reads from it: its request line, the reply
    // format it accepts, its body's type and the protocol version (the batch request itself
    // carries the service version and the signature).
    const std::string requestLine = "PUT " + baseRequest("insert/replace").url();
    static const char kOperationHeaders[] =
        " HTTP/1.1\nAccept: application/json;odata=minimalmetadata\nContent-Type: application/json\n"
        "DataServiceVersion: 3.0;NetFx\n\n";

    std::vector<std::string> pendingItems;
    std::vector<size_t> batchItems;  // indices into `entities`
    table_text::EntityScan& scan = buffers.scan;
    std::string& clean = buffers.entity;
    size_t it = 0;
    while (it < entities.size()) {
        const std::string batchBoundary = nextBoundary("batch");
        const std::string changesetBoundary = nextBoundary("changeset");
        batchRequest.headers["Content-Type"] = "multipart/mixed; boundary=" + batchBoundary;
        std::string& body = buffers.body;
        body.clear();
        // A hundred operations of a few hundred bytes each: room for a typical batch at once.
        body.reserve(std::min(kMaxBatchBytes, size_t(128) << 10));
        addBoundary(body, batchBoundary, false);
        addContentType(body, changesetBoundary);
        // The two closing boundary lines, "--name--\n" each, count towards the size limit too.
        const size_t closingBytes = changesetBoundary.size() + batchBoundary.size() + 10;
        // Every operation begins alike, up to its partition key.
        std::string operationHead;
        addBoundary(operationHead, changesetBoundary, false);
        addMimeChangesetHeaders(operationHead);
        operationHead += requestLine;
        operationHead += table;
        operationHead += "(PartitionKey='";
        std::string batchKey = table_text::scanEntity(entities[it]).partitionKey;
        log(fn, "Preparing request for batchInsert");
        batchItems.clear();

        while (it < entities.size()) {
            const std::string& entity = entities[it];
            // The next entity was read on another thread, likely on another core: its bytes are
            // asked for now, and arrive while this one is written.
            if (it + 1 < entities.size()) {
                const std::string& next = entities[it + 1];
                for (size_t offset = 0; offset < next.size(); offset += 64) __builtin_prefetch(next.data() + offset);
            }
            // removeOdataTag without its copies: the first member goes, whatever it is.
            size_t rest = entity.find('"');
            rest = rest == std::string::npos ? 0 : rest + 1;
            size_t comma = entity.find(',', rest);
            clean.assign(1, '{');
            clean.append(entity, comma == std::string::npos ? rest : comma + 1, std::string::npos);
            table_text::scanEntity(clean.data(), clean.size(), scan);
            bool joins = scan.isObject && (scan.hasPartitionKey ? scan.partitionKey == batchKey : batchKey.empty());
            if (!joins) {
                if (!batchItems.empty()) {
                    log(fn, "Partition key changed");
                    break;
                }
                // Not even the batch it opens can take it (its text is no entity once its first
                // member is gone): hand it back and go on, so that the call always gets through.
                log(fn, "Item is not an entity with a usable PartitionKey; left pending");
                pendingItems.push_back(std::move(entities[it]));
                entities[it].clear();
                if (++it < entities.size()) batchKey = table_text::scanEntity(entities[it]).partitionKey;
                continue;
            }

            const size_t before = body.size();
            body += operationHead;
            table_text::appendKeyLiteral(body, scan.partitionKey);
            body += "',RowKey='";
            table_text::appendKeyLiteral(body, scan.rowKey);
            body += "')";
            body.append(kOperationHeaders, sizeof kOperationHeaders - 1);
            table_text::appendAnnotated(body, clean.data(), clean.size(), scan);
            body += '\n';
            if (!batchItems.empty() && body.size() + closingBytes > kMaxBatchBytes) {
                body.resize(before);
                log(fn, "Batch size limit reached");
                break;
            }
            batchItems.push_back(it);
            ++it;
            if (batchItems.size() == kMaxBatchOperations) break;
        }
        if (batchItems.empty()) break;  // the rest of the input could not be sent at all

        addBoundary(body, changesetBoundary, true);
        addBoundary(body, batchBoundary, true);
        if (logging) log(fn, "Payload: " + body);
        // Lent to the request for the call and taken back after it: the buffer is kept.
        batchRequest.body.swap(body);
        batchRequest.headers.erase("Authorization");
        AzureTableResponse response = execute(batchRequest);
        batchRequest.body.swap(body);
        // A body grown for very large entities is not kept.
        if (body.capacity() > (size_t(1) << 20)) std::string().swap(body);
        // 202 only says that the batch was read; a refused change set is reported inside it, and
        // then none of its operations took effect. Only a reply that confirms every operation
        // counts them as written.
        if (response.status == 202 && table_text::batchReplyConfirms(response.body, batchItems.size())) {
            log(fn, "Items insert successful");
        } else {
            log(fn, "Items insert failed");
            if (logging) log(fn, "Batch reply " + std::to_string(response.status) + ": " + response.body);
            for (size_t index : batchItems) {
                pendingItems.push_back(std::move(entities[index]));
                entities[index].clear();
            }
        }
        batchItems.clear();
    }

    if (!pendingItems.empty()) {
        log(fn, "Returning success with some to be processed items");
        return AzureTableOutcome<std::vector<std::string>>(
            std::make_shared<std::vector<std::string>>(std::move(pendingItems)));
    }
    log(fn, "Returning success with no additional items");
    return AzureTableOutcome<std::vector<std::string>>();
}

int AzureTableStorage::insertEntity(const std::string& table, std::string entity) {
    AzureTableRequest request = baseRequest("insert");
    request.path += table;
    std::string clean = removeOdataTag(std::move(entity));
    table_text::EntityScan scan = table_text::scanEntity(clean);
    request.body = scan.isObject ? table_text::annotateDoubles(clean, scan) : clean;
    request.headers["Content-Type"] = "application/json";
    request.headers["Content-Length"] = std::to_string(request.body.size());
    AzureTableResponse response = execute(request);
    if (response.status != 201) return classifyAzureTableError(response);
    log("insertEntity", "Item inserted");
    return Success;
}

int AzureTableStorage::insertOrReplaceEntity(const std::string& table, std::string entity) {
    AzureTableRequest request = baseRequest("insert/replace");
    std::string compact;
    table_text::EntityScan scan;
    if (table_text::rewriteCompact(removeOdataTag(std::move(entity)), compact)) scan = table_text::scanEntity(compact);
    if (!scan.isObject) {
        // Without an object there are no keys to address, and the request would name another entity.
        log("insertOrReplaceEntity", "Item is not a JSON object; not sent");
        return Failed;
    }
    request.path += entityPath(table, scan.partitionKey, scan.rowKey);
    request.body = table_text::annotateDoubles(compact, scan);
    request.headers["Content-Type"] = "application/json";
    request.headers["Content-Length"] = std::to_string(request.body.size());
    AzureTableResponse response = execute(request);
    if (response.status != 204) return classifyAzureTableError(response);
    log("insertOrReplaceEntity", "Item inserted");
    return Success;
}

int AzureTableStorage::deleteEntity(const std::string& table, const std::string& partitionKey,
                                    const std::string& rowKey, bool* existed) {
    AzureTableRequest request = baseRequest("delete");
    request.path += entityPath(table, partitionKey, rowKey);
    request.headers["If-Match"] = "*";
    AzureTableResponse response = execute(request);
    if (existed) *existed = response.status == 204;
    if (response.status == 204) return Success;
    const int kind = classifyAzureTableError(response);
    // Gone is what was asked for; "TableNotFound" is not.
    if (response.status == 404 && table_service::errorCodeOf(response) == "ResourceNotFound") return Success;
    return kind;
}
