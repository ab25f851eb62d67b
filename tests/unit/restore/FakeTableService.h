#pragma once
// An in-memory Table service behind the scripted transport: tables can be described, created and
// deleted, and batch transactions store their entities. Entities are read from the JSON bodies of
// the batch operations, so the test does not depend on how keys are spelled in URLs. Batches can
// be refused on purpose (the next N, or every batch whose entities match a predicate).
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include <rapidjson/document.h>

#include "support/FakeTransport.h"
#include "table_service/AzureTableCredentials.h"

namespace testing_support {

inline AzureTableCredentials testCredentials() {
    AzureTableCredentials c;
    c.accountName = "acct";
    // Host-style (no account in the path): the emulator adapter of the transport stays out of it.
    c.accountUrl = "http://127.0.0.1:9";
    c.accessKey = "a2V5a2V5a2V5";
    c.spareText = "";
    c.spareNumber = -1;
    return c;
}

// One backup line as the backup writes it: the entity tag first, then keys, time stamp, values.
inline std::string entityLine(const std::string& pk, const std::string& rk, const std::string& extra = "") {
    return "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%3A00%3A00.1234567Z'\\\"\",\"PartitionKey\":\"" + pk +
           "\",\"RowKey\":\"" + rk + "\",\"Timestamp\":\"2024-01-01T00:00:00.1234567Z\"" + extra + "}";
}

struct StoredBatch {
    std::vector<std::string> entities;  // operation bodies, in order
    bool accepted = false;
};

class FakeTableService {
public:
    explicit FakeTableService(FakeTransport& transport) {
        transport.setResponder([this](const platform::http::HttpExchange& e) { return handle(e); });
    }

    void addTable(const std::string& name) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_tables[name];
    }
    bool hasTable(const std::string& name) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_tables.count(name) > 0;
    }
    // PartitionKey + "/" + RowKey -> entity body as written by the last accepted batch.
    std::map<std::string, std::string> entities(const std::string& table) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_tables.find(table);
        return found == m_tables.end() ? std::map<std::string, std::string>{} : found->second;
    }
    std::vector<StoredBatch> batches() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_batches;
    }
    size_t acceptedOperations() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        size_t n = 0;
        for (const auto& b : m_batches) n += b.accepted ? b.entities.size() : 0;
        return n;
    }
    // The next `count` batches are answered with a failure.
    void refuseNextBatches(int count) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_refuseNext = count;
    }
    // Every batch holding an entity for which `predicate` is true is refused.
    void refuseWhen(std::function<bool(const std::string& entityBody)> predicate) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_refuseWhen = std::move(predicate);
    }
    // Batches are not stored (counted only), so long runs keep memory flat.
    void forgetEntities(bool forget) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_forget = forget;
    }

private:
    static platform::http::HttpReply reply(int status, const std::string& body = "") {
        platform::http::HttpReply r;
        r.status = status;
        r.body = body;
        return r;
    }

    static std::string tableInPath(const std::string& url) {
        size_t open = url.find("Tables('");
        if (open == std::string::npos) return "";
        size_t start = open + 8;
        size_t end = url.find("')", start);
        return url.substr(start, end - start);
    }

    platform::http::HttpReply handle(const platform::http::HttpExchange& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::string notFound =
            "{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"value\":\"The specified resource does not exist.\"}}}";
        if (e.url.find("$batch") != std::string::npos) return batch(e.body);
        if (e.method == "GET" && e.url.find("Tables('") != std::string::npos) {
            std::string name = tableInPath(e.url);
            if (!m_tables.count(name)) return reply(404, notFound);
            return reply(200, "{\"odata.metadata\":\"x\",\"TableName\":\"" + name + "\"}");
        }
        if (e.method == "DELETE" && e.url.find("Tables('") != std::string::npos) {
            std::string name = tableInPath(e.url);
            if (!m_tables.erase(name)) return reply(404, notFound);
            return reply(204);
        }
        if (e.method == "POST" && e.url.size() >= 6 && e.url.compare(e.url.size() - 6, 6, "Tables") == 0) {
            rapidjson::Document d;
            d.Parse(e.body.c_str());
            std::string name = d.IsObject() && d.HasMember("TableName") ? d["TableName"].GetString() : "";
            if (m_tables.count(name)) return reply(409, "{\"odata.error\":{\"code\":\"TableAlreadyExists\"}}");
            m_tables[name];
            return reply(201, "{\"TableName\":\"" + name + "\"}");
        }
        return reply(400, "{\"odata.error\":{\"code\":\"Unexpected\"}}");
    }

    platform::http::HttpReply batch(const std::string& body) {
        StoredBatch stored;
        std::string table;
        size_t pos = 0;
        while (pos < body.size()) {
            size_t end = body.find('\n', pos);
            if (end == std::string::npos) end = body.size();
            std::string line = body.substr(pos, end - pos);
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line[0] == '{') stored.entities.push_back(line);
            size_t key = line.find("(PartitionKey");
            if (line.compare(0, 4, "PUT ") == 0 && key != std::string::npos) {
                size_t slash = line.rfind('/', key);
                table = line.substr(slash + 1, key - slash - 1);
            }
            pos = end + 1;
        }
        bool refuse = false;
        if (m_refuseNext > 0) {
            --m_refuseNext;
            refuse = true;
        }
        if (m_refuseWhen)
            for (const auto& entity : stored.entities) refuse = refuse || m_refuseWhen(entity);
        bool missing = !m_tables.count(table);
        refuse = refuse || missing;
        stored.accepted = !refuse;
        if (!refuse && !m_forget) {
            for (const auto& entity : stored.entities) {
                rapidjson::Document d;
                d.Parse(entity.c_str());
                std::string key = std::string(d["PartitionKey"].GetString()) + "/" + d["RowKey"].GetString();
                m_tables[table][key] = entity;
            }
        }
        if (m_forget) stored.entities.clear();
        m_batches.push_back(std::move(stored));
        if (missing) return reply(404, "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}");
        if (refuse) return reply(400, "{\"odata.error\":{\"code\":\"InvalidInput\"}}");
        return reply(202, "--batchresponse\n");
    }

    mutable std::mutex m_mutex;
    std::map<std::string, std::map<std::string, std::string>> m_tables;
    std::vector<StoredBatch> m_batches;
    int m_refuseNext = 0;
    std::function<bool(const std::string&)> m_refuseWhen;
    bool m_forget = false;
};

}  // namespace testing_support
