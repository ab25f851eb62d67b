#pragma once
// An in-memory table behind the scripted transport: answers describe and paged entity queries
// the way the Table service does (continuation headers with opaque tokens holding '+', '/' and
// '=', optional empty pages that still carry a continuation), and can fail a chosen query.
#include <algorithm>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "platform/http/HttpClient.h"

namespace backup_test {

struct FakeEntity {
    std::string partitionKey, rowKey, json;
};

class FakeTableService {
public:
    explicit FakeTableService(std::string table = "t1") : m_table(std::move(table)) {}

    // Adds `count` entities spread over `partitions` partitions, in key order.
    void fill(int count, int partitions = 3) {
        for (int i = 0; i < count; ++i) {
            char pk[16], rk[16];
            std::snprintf(pk, sizeof pk, "p%02d", i % partitions);
            std::snprintf(rk, sizeof rk, "r%05d", i);
            add(pk, rk);
        }
    }
    void add(const std::string& pk, const std::string& rk) {
        std::string json = "{\"odata.etag\":\"W/\\\"1\\\"\",\"PartitionKey\":\"" + pk + "\",\"RowKey\":\"" + rk +
                           "\",\"Timestamp\":\"2023-11-14T22:13:20.1234567Z\",\"n\":" +
                           std::to_string(m_entities.size()) + ",\"big\":\"9007199254740993\",\"big@odata.type\":\"Edm.Int64\"}";
        m_entities.push_back({pk, rk, json});
        std::sort(m_entities.begin(), m_entities.end(), [](const FakeEntity& a, const FakeEntity& b) {
            return a.partitionKey != b.partitionKey ? a.partitionKey < b.partitionKey : a.rowKey < b.rowKey;
        });
    }
    // Forgets injected faults and served pages; keeps the entities.
    void reset() {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_failQuery = 0;
        m_queries = 0;
        m_servedEmpty.clear();
    }
    void setPageSize(size_t size) { m_pageSize = size; }
    // Before every page with entities, answer once with an empty page pointing at the same place.
    void setEmptyPagesFirst(bool on) { m_emptyFirst = on; }
    // The nth query (1-based, counted from construction) is refused.
    void failQueryNumber(int n) { m_failQuery = n; }

    const std::vector<FakeEntity>& entities() const { return m_entities; }
    std::vector<std::string> expectedLines() const {
        std::vector<std::string> lines;
        for (const auto& e : m_entities) lines.push_back(e.json);
        return lines;
    }
    int queries() const { return m_queries; }

    // Opaque continuation tokens, as the service hands them out.
    static std::string token(const std::string& key) { return "1!" + key + "+/="; }
    static std::string untoken(const std::string& token) {
        if (token.size() < 5 || token.compare(0, 2, "1!") != 0) return "";
        return token.substr(2, token.size() - 5);
    }

    platform::http::HttpReply handle(const platform::http::HttpExchange& exchange) {
        std::lock_guard<std::mutex> lock(m_mutex);
        platform::http::HttpReply reply;
        const std::string& url = exchange.url;
        if (url.find("Tables('") != std::string::npos) {
            reply.status = 200;
            reply.body = "{\"odata.metadata\":\"x\",\"TableName\":\"" + m_table + "\"}";
            return reply;
        }
        ++m_queries;
        if (m_queries == m_failQuery) {
            reply.status = 400;  // not a transient failure: the transport does not retry it
            reply.body = "{\"odata.error\":{\"code\":\"InvalidInput\"}}";
            return reply;
        }
        std::string pk = untoken(decode(parameter(url, "NextPartitionKey")));
        std::string rk = untoken(decode(parameter(url, "NextRowKey")));
        size_t start = 0;
        while (start < m_entities.size() &&
               (m_entities[start].partitionKey < pk ||
                (m_entities[start].partitionKey == pk && m_entities[start].rowKey < rk)))
            ++start;
        std::string position = std::to_string(start);
        bool empty = m_emptyFirst && start < m_entities.size() && m_servedEmpty.count(position) == 0;
        size_t end = empty ? start : std::min(m_entities.size(), start + m_pageSize);
        if (empty) m_servedEmpty[position] = true;
        reply.status = 200;
        reply.body = "{\"odata.metadata\":\"x\",\"value\":[";
        for (size_t i = start; i < end; ++i) reply.body += (i > start ? "," : "") + m_entities[i].json;
        reply.body += "]}";
        if (end < m_entities.size()) {
            reply.headers["x-ms-continuation-nextpartitionkey"] = token(m_entities[end].partitionKey);
            reply.headers["x-ms-continuation-nextrowkey"] = token(m_entities[end].rowKey);
        }
        return reply;
    }

    static std::string parameter(const std::string& url, const std::string& name) {
        for (const char* sep : {"?", "&"}) {
            size_t at = url.find(sep + name + "=");
            if (at == std::string::npos) continue;
            at += name.size() + 2;
            size_t end = url.find('&', at);
            return url.substr(at, end == std::string::npos ? std::string::npos : end - at);
        }
        return "";
    }
    static std::string decode(const std::string& text) {
        std::string out;
        for (size_t i = 0; i < text.size(); ++i) {
            if (text[i] == '%' && i + 2 < text.size()) {
                out += static_cast<char>(std::stoi(text.substr(i + 1, 2), nullptr, 16));
                i += 2;
            } else {
                out += text[i];
            }
        }
        return out;
    }

private:
    std::mutex m_mutex;
    std::string m_table;
    std::vector<FakeEntity> m_entities;
    size_t m_pageSize = 10;
    bool m_emptyFirst = false;
    std::map<std::string, bool> m_servedEmpty;
    int m_failQuery = 0;
    int m_queries = 0;
};

}  // namespace backup_test
