#pragma once
// An in-memory Table service behind the scripted transport. Tables can be described, created and
// deleted (names match without regard to case, as on the service); batch transactions store their
// entities (read from the operation bodies, so tests do not depend on how keys are spelled in URLs)
// and can be refused on purpose, refusals answered inside a 202 as the service does. Entity queries
// page through a table's entities in key order the way the service does: continuation headers
// with opaque tokens holding '+', '/' and '=', optional empty pages that still carry a
// continuation, and a chosen query that fails; a missing table is "TableNotFound". The table
// listing answers every table in one page.
// tests/integration/table_service_conformance_test.cpp runs the same cases against the emulator.
#include <ctime>
#include <algorithm>
#include <cstdio>
#include <functional>
#include <map>
#include <mutex>
#include <set>
#include <sstream>
#include <string>
#include <tuple>
#include <vector>

#include <rapidjson/document.h>
#include <strings.h>

#include "platform/http/UrlEncoding.h"
#include "support/FakeTransport.h"
#include "table_service/AzureTableCredentials.h"

namespace testing_support {

inline AzureTableCredentials testCredentials() {
    AzureTableCredentials c;  // host-style URL (no account in the path): no emulator adapter
    c.accountName = "acct";
    c.accountUrl = "http://127.0.0.1:9";
    c.accessKey = "a2V5a2V5a2V5";
    c.spareNumber = -1;
    return c;
}

// One backup line as the backup writes it: the entity tag first, then keys, time stamp, values.
inline std::string entityLine(const std::string& pk, const std::string& rk, const std::string& extra = "") {
    return "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%3A00%3A00.1234567Z'\\\"\",\"PartitionKey\":\"" + pk +
           "\",\"RowKey\":\"" + rk + "\",\"Timestamp\":\"2024-01-01T00:00:00.1234567Z\"" + extra + "}";
}

struct SourceEntity { std::string partitionKey, rowKey, json; };
struct StoredBatch { std::vector<std::string> entities; };  // operation bodies, in order

class FakeTableService {
public:
    explicit FakeTableService(FakeTransport& transport) {
        transport.setResponder([this](const platform::http::HttpExchange& e) {
            platform::http::HttpReply r = handle(e);
            const time_t when = static_cast<time_t>(serviceClock);
            struct tm fields {};
            char text[64];
            if (serviceClock > 0 && strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", gmtime_r(&when, &fields)))
                r.headers["date"] = text;
            return r;
        });
    }

    // The service's clock, sent as the Date header of every reply (0: no Date header).
    long long serviceClock = 1800000000;

    // --- the source table "t1" that backups page through ---
    // Adds `count` entities spread over `partitions` partitions to the table "t1".
    void fill(int count, int partitions = 3) {
        std::lock_guard<std::mutex> l(m_mutex);
        auto& t1 = m_tables["t1"];
        for (int i = 0; i < count; ++i) {
            char pk[16], rk[16];
            std::snprintf(pk, sizeof pk, "p%02d", i % partitions);
            std::snprintf(rk, sizeof rk, "r%05d", i);
            t1[std::string(pk) + "/" + rk] = "{\"odata.etag\":\"W/\\\"1\\\"\",\"PartitionKey\":\"" + std::string(pk) +
                "\",\"RowKey\":\"" + rk + "\",\"Timestamp\":\"2023-11-14T22:13:20.1234567Z\",\"n\":" +
                std::to_string(t1.size()) + ",\"big\":\"9007199254740993\",\"big@odata.type\":\"Edm.Int64\"}";
        }
        m_rows = sortedRows(t1);
    }
    // The entities of "t1" in key order, as fill() left them.
    const std::vector<SourceEntity>& rows() const { return m_rows; }
    std::vector<std::string> expectedLines() const {
        std::vector<std::string> lines;
        for (const auto& e : m_rows) lines.push_back(e.json);
        return lines;
    }
    // Forgets injected query faults and served pages; keeps the entities.
    void reset() { std::lock_guard<std::mutex> l(m_mutex); m_failQuery = m_queries = 0; m_servedEmpty.clear(); }
    void setPageSize(size_t size) { m_pageSize = size; }
    // Before every page with entities, answer once with an empty page pointing at the same place.
    void setEmptyPagesFirst(bool on) { m_emptyFirst = on; }
    // The nth query (1-based, counted from construction or reset) is refused.
    void failQueryNumber(int n) { m_failQuery = n; }

    // Opaque continuation tokens, as the service hands them out.
    static std::string token(const std::string& key) { return "1!" + key + "+/="; }
    static std::string restartAt(const SourceEntity& e) { return token(e.partitionKey) + ":" + token(e.rowKey); }

    // --- tables and batches ---
    void addTable(const std::string& name) { std::lock_guard<std::mutex> l(m_mutex); m_tables[name]; }
    bool hasTable(const std::string& name) const { std::lock_guard<std::mutex> l(m_mutex); return m_tables.count(name) > 0; }
    // PartitionKey + "/" + RowKey -> entity body as written by the last accepted batch.
    std::map<std::string, std::string> entities(const std::string& table) const {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto found = m_tables.find(table);
        return found == m_tables.end() ? std::map<std::string, std::string>{} : found->second;
    }
    std::vector<StoredBatch> batches() const { std::lock_guard<std::mutex> l(m_mutex); return m_batches; }
    // Every batch holding an entity for which `predicate` is true is refused.
    void refuseWhen(std::function<bool(const std::string& entityBody)> predicate) {
        std::lock_guard<std::mutex> l(m_mutex); m_refuseWhen = std::move(predicate);
    }
    // Batches are not stored (counted only), so long runs keep memory flat.
    void forgetEntities(bool forget) { std::lock_guard<std::mutex> l(m_mutex); m_forget = forget; }

private:
    static std::string tableInPath(const std::string& url) {
        size_t start = url.find("Tables('") + 8;
        return url.substr(start, url.find("')", start) - start);
    }
    static std::string parameter(const std::string& url, const std::string& name) {
        for (const char* sep : {"?", "&"}) {
            size_t at = url.find(sep + name + "=");
            if (at == std::string::npos) continue;
            at += name.size() + 2;
            return platform::http::percentDecode(url.substr(at, url.find('&', at) - at));  // npos - at: to the end
        }
        return "";
    }
    static std::string untoken(const std::string& token) {
        if (token.size() < 5 || token.compare(0, 2, "1!") != 0) return "";
        return token.substr(2, token.size() - 5);
    }

    platform::http::HttpReply handle(const platform::http::HttpExchange& e) {
        std::lock_guard<std::mutex> lock(m_mutex);
        const std::string notFound =
            "{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"value\":\"The specified resource does not exist.\"}}}";
        const bool tables = e.url.find("Tables('") != std::string::npos;
        if (e.url.find("$batch") != std::string::npos) return batch(e.body);
        if (e.method == "GET" && tables) {
            auto found = m_tables.find(tableInPath(e.url));
            if (found == m_tables.end()) return httpReply(404, notFound);
            return httpReply(200, "{\"odata.metadata\":\"x\",\"TableName\":\"" + found->first + "\"}");
        }
        if (e.method == "DELETE" && tables)
            return m_tables.erase(tableInPath(e.url)) ? httpReply(204) : httpReply(404, notFound);
        if (e.method == "POST" && e.url.size() >= 6 && e.url.compare(e.url.size() - 6, 6, "Tables") == 0) {
            rapidjson::Document d;
            d.Parse(e.body.c_str());
            std::string name = d.IsObject() && d.HasMember("TableName") ? d["TableName"].GetString() : "";
            if (m_tables.count(name)) return httpReply(409, "{\"odata.error\":{\"code\":\"TableAlreadyExists\"}}");
            m_tables[name];
            return httpReply(201, "{\"TableName\":\"" + name + "\"}");
        }
        const size_t listing = e.url.rfind("/Tables");
        if (e.method == "GET" && listing != std::string::npos &&
            (listing + 7 == e.url.size() || e.url[listing + 7] == '?')) {  // the table listing, in one page
            platform::http::HttpReply r = httpReply(200, "{\"value\":[");
            bool firstName = true;
            for (const auto& table : m_tables) {
                r.body += std::string(firstName ? "" : ",") + "{\"TableName\":\"" + table.first + "\"}";
                firstName = false;
            }
            r.body += "]}";
            return r;
        }
        size_t open = e.url.find("()");
        if (e.method == "GET" && open != std::string::npos) {
            size_t slash = e.url.rfind('/', open);
            return query(e.url.substr(slash + 1, open - slash - 1), e.url);
        }
        return httpReply(400, "{\"odata.error\":{\"code\":\"Unexpected\"}}");
    }

    // A table's entities in key order, each with the entity tag and time stamp the service adds.
    std::vector<SourceEntity> sortedRows(const std::map<std::string, std::string>& stored) const {
        std::vector<SourceEntity> rows;
        for (const auto& entry : stored) {
            rapidjson::Document d;
            d.Parse(entry.second.c_str());
            std::string json = entry.second;
            if (!d.HasMember("odata.etag"))
                json = "{\"odata.etag\":\"W/\\\"1\\\"\",\"Timestamp\":\"2023-11-14T22:13:20.1234567Z\"," + json.substr(1);
            rows.push_back({d["PartitionKey"].GetString(), d["RowKey"].GetString(), json});
        }
        std::sort(rows.begin(), rows.end(), [](const SourceEntity& a, const SourceEntity& b) {
            return std::tie(a.partitionKey, a.rowKey) < std::tie(b.partitionKey, b.rowKey);
        });
        return rows;
    }

    platform::http::HttpReply query(const std::string& table, const std::string& url) {
        ++m_queries;
        // Not a transient failure: the transport does not retry it.
        if (m_queries == m_failQuery) return httpReply(400, "{\"odata.error\":{\"code\":\"InvalidInput\"}}");
        auto found = m_tables.find(table);
        if (found == m_tables.end())
            return httpReply(404, "{\"odata.error\":{\"code\":\"TableNotFound\",\"message\":{\"value\":\"The table specified does not exist.\"}}}");
        const std::vector<SourceEntity> rows = sortedRows(found->second);
        std::string pk = untoken(parameter(url, "NextPartitionKey"));
        std::string rk = untoken(parameter(url, "NextRowKey"));
        size_t start = 0;
        while (start < rows.size() && std::tie(rows[start].partitionKey, rows[start].rowKey) < std::tie(pk, rk)) ++start;
        bool empty = m_emptyFirst && start < rows.size() && m_servedEmpty.insert(start).second;
        size_t end = empty ? start : std::min(rows.size(), start + m_pageSize);
        platform::http::HttpReply r = httpReply(200, "{\"odata.metadata\":\"x\",\"value\":[");
        for (size_t i = start; i < end; ++i) r.body += (i > start ? "," : "") + rows[i].json;
        r.body += "]}";
        if (end < rows.size()) {
            r.headers["x-ms-continuation-nextpartitionkey"] = token(rows[end].partitionKey);
            r.headers["x-ms-continuation-nextrowkey"] = token(rows[end].rowKey);
        }
        return r;
    }

    platform::http::HttpReply batch(const std::string& body) {
        StoredBatch stored;
        std::string table;
        std::istringstream lines(body);
        for (std::string line; std::getline(lines, line);) {
            if (!line.empty() && line.back() == '\r') line.pop_back();
            if (!line.empty() && line[0] == '{') stored.entities.push_back(line);
            size_t key = line.find("(PartitionKey");
            if (line.compare(0, 4, "PUT ") == 0 && key != std::string::npos) {
                size_t slash = line.rfind('/', key);
                table = line.substr(slash + 1, key - slash - 1);
            }
        }
        const bool missing = !m_tables.count(table);
        const bool refuse = missing || (m_refuseWhen && std::any_of(stored.entities.begin(), stored.entities.end(), m_refuseWhen));
        for (size_t i = 0; i < stored.entities.size() && !refuse && !m_forget; ++i) {
            rapidjson::Document d;
            d.Parse(stored.entities[i].c_str());
            m_tables[table][std::string(d["PartitionKey"].GetString()) + "/" + d["RowKey"].GetString()] = stored.entities[i];
        }
        const size_t operations = stored.entities.size();
        if (m_forget) stored.entities.clear();
        m_batches.push_back(std::move(stored));
        // The service answers a batch with 202 and says inside it which operation failed, if any:
        // one operation response per operation when the change set was taken, else one error.
        std::string answer = "--batchresponse_1\r\nContent-Type: multipart/mixed; boundary=changesetresponse_1\r\n\r\n";
        const std::string part = "--changesetresponse_1\r\nContent-Type: application/http\r\n\r\n";
        if (refuse) {
            answer += part + (missing ? "HTTP/1.1 404 Not Found\r\n\r\n{\"odata.error\":{\"code\":\"TableNotFound\"}}\r\n"
                                      : "HTTP/1.1 400 Bad Request\r\n\r\n{\"odata.error\":{\"code\":\"InvalidInput\"}}\r\n");
        } else {
            for (size_t i = 0; i < operations; ++i) answer += part + "HTTP/1.1 204 No Content\r\n\r\n";
        }
        return httpReply(202, answer + "--changesetresponse_1--\r\n--batchresponse_1--\r\n");
    }

    // Table names match without regard to case; the name a table was created with is kept.
    struct NoCase {
        bool operator()(const std::string& a, const std::string& b) const { return strcasecmp(a.c_str(), b.c_str()) < 0; }
    };

    mutable std::mutex m_mutex;
    std::map<std::string, std::map<std::string, std::string>, NoCase> m_tables;
    std::vector<StoredBatch> m_batches;
    std::function<bool(const std::string&)> m_refuseWhen;
    bool m_forget = false;

    std::vector<SourceEntity> m_rows;
    size_t m_pageSize = 10;
    bool m_emptyFirst = false;
    std::set<size_t> m_servedEmpty;
    int m_failQuery = 0, m_queries = 0;
};

}  // namespace testing_support
