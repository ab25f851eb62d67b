// A fast fake Table service on 127.0.0.1 for the speed benchmark (bench/fake_service.sh): fast
// enough that the clients measured against it, not the service, are the bottleneck.
//
// It serves one source table of N entities from memory in pages of 1000 (about 310 bytes each,
// sorted by PartitionKey and RowKey, 10,000 entities per partition) with the service's
// continuation headers (keys only for $select=PartitionKey,RowKey); lists, describes and creates
// tables; and takes every batch, answering 202 with
// one "204 No Content" per operation. It does not check signatures or filters. GET /stats
// reports what it served and its own CPU time, so the benchmark can show it is not the limit.
//
//   bench_fake_table_service ENTITIES [PORT]     (prints "<port>" once it listens; 0 = any port)
//
// One thread per connection; every page is made by writing the page's keys into a per-thread
// copy of one prepared page, so serving costs little more than the write to the socket.
#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <string>
#include <thread>
#include <vector>

namespace {

constexpr unsigned long long kPageEntities = 1000;
constexpr unsigned long long kPartitionEntities = 10000;
const char* const kSourceTable = "source";

unsigned long long g_entities = 0;
std::atomic<unsigned long long> g_pages{0}, g_served{0}, g_batches{0}, g_operations{0};
std::mutex g_tablesMutex;
std::set<std::string> g_tables;

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

void putDigits(char* at, unsigned long long value, int width) {
    for (int i = width - 1; i >= 0; --i, value /= 10) at[i] = static_cast<char>('0' + value % 10);
}

// One page's body with the offsets of the digits that change from page to page.
struct PageTemplate {
    std::string body;
    std::vector<size_t> partitionDigits;  // 4 digits each
    std::vector<size_t> rowDigits;        // 10 digits each
    size_t entities = 0;

    // keysOnly: the page of a keys-only listing ($select=PartitionKey,RowKey): entity tag and keys.
    PageTemplate(size_t count, bool keysOnly = false) : entities(count) {
        body = "{\"odata.metadata\":\"http://127.0.0.1/bench/$metadata#source\",\"value\":[";
        for (size_t i = 0; i < count; ++i) {
            if (i) body += ',';
            body += "{\"odata.etag\":\"W/\\\"datetime'2026-12-06T06%3A49%3A18.8963732Z'\\\"\",\"PartitionKey\":\"p";
            partitionDigits.push_back(body.size());
            body += "0000\",\"RowKey\":\"r";
            rowDigits.push_back(body.size());
            if (keysOnly) {
                body += "0000000000\"}";
                continue;
            }
            char rest[512];
            std::snprintf(rest, sizeof rest,
                          "0000000000\",\"Timestamp\":\"2026-12-06T06:49:18.8963732Z\",\"name\":\"entity %04zu "
                          "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\",\"count\":%zu,\"big@odata.type\":\"Edm.Int64\","
                          "\"big\":\"90071992547%05zu\",\"ratio\":%zu.25,\"flag\":%s}",
                          i, i * 7, i, i, i % 2 ? "true" : "false");
            body += rest;
        }
        body += "]}";
    }
    // The page starting at entity `first`.
    void fill(unsigned long long first) {
        for (size_t i = 0; i < entities; ++i) {
            putDigits(&body[partitionDigits[i]], (first + i) / kPartitionEntities, 4);
            putDigits(&body[rowDigits[i]], first + i, 10);
        }
    }
};

// A connection's pages: a full one and a keys-only one, and the shorter last page of each.
struct Pages {
    PageTemplate full{kPageEntities}, keys{kPageEntities, true};
    PageTemplate* last[2] = {nullptr, nullptr};
    ~Pages() {
        delete last[0];
        delete last[1];
    }
};

std::string httpDate() {
    time_t now = time(nullptr);
    struct tm fields {};
    gmtime_r(&now, &fields);
    char text[64];
    strftime(text, sizeof text, "%a, %d %b %Y %H:%M:%S GMT", &fields);
    return text;
}

bool sendAll(int fd, const std::string& head, const char* body, size_t bodySize) {
    iovec parts[2] = {{const_cast<char*>(head.data()), head.size()}, {const_cast<char*>(body), bodySize}};
    size_t total = head.size() + bodySize, sent = 0;
    while (sent < total) {
        iovec now[2];
        int count = 0;
        size_t skip = sent;
        for (auto& part : parts) {
            if (skip >= part.iov_len) {
                skip -= part.iov_len;
                continue;
            }
            now[count++] = {static_cast<char*>(part.iov_base) + skip, part.iov_len - skip};
            skip = 0;
        }
        ssize_t n = ::writev(fd, now, count);
        if (n <= 0) return false;
        sent += static_cast<size_t>(n);
    }
    return true;
}

bool reply(int fd, int status, const char* reason, const std::string& extraHeaders, const char* body, size_t size,
           const char* contentType = "application/json;odata=minimalmetadata;streaming=true;charset=utf-8") {
    std::string head = "HTTP/1.1 " + std::to_string(status) + " " + reason + "\r\nContent-Type: " + contentType +
                       "\r\nContent-Length: " + std::to_string(size) + "\r\nDate: " + httpDate() +
                       "\r\nx-ms-version: 2019-02-02\r\n" + extraHeaders + "\r\n";
    return sendAll(fd, head, body, size);
}

bool replyText(int fd, int status, const char* reason, const std::string& headers, const std::string& body) {
    return reply(fd, status, reason, headers, body.data(), body.size());
}

std::string queryParameter(const std::string& target, const std::string& name) {
    size_t at = target.find(name + "=");
    while (at != std::string::npos && at > 0 && target[at - 1] != '?' && target[at - 1] != '&')
        at = target.find(name + "=", at + 1);
    if (at == std::string::npos) return "";
    at += name.size() + 1;
    return target.substr(at, target.find('&', at) - at);
}

std::string tableNameIn(const std::string& body) {
    size_t at = body.find("\"TableName\"");
    if (at == std::string::npos) return "";
    at = body.find('"', body.find(':', at) + 1);
    if (at == std::string::npos) return "";
    return body.substr(at + 1, body.find('"', at + 1) - at - 1);
}

size_t countOf(const std::string& text, const char* needle) {
    size_t n = 0, length = std::strlen(needle);
    for (const char* at = text.data(); (at = static_cast<const char*>(
                                            memmem(at, text.data() + text.size() - at, needle, length)));
         at += length)
        ++n;
    return n;
}

bool handle(int fd, const std::string& method, const std::string& target, const std::string& body, Pages& pages) {
    const std::string notFound =
        "{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"lang\":\"en-US\",\"value\":\"The specified "
        "resource does not exist.\"}}}";
    if (target == "/stats") {
        char text[256];
        std::snprintf(text, sizeof text,
                      "{\"pages\":%llu,\"entitiesServed\":%llu,\"batches\":%llu,\"operations\":%llu,\"cpuSeconds\":%.3f}",
                      g_pages.load(), g_served.load(), g_batches.load(), g_operations.load(), cpuSeconds());
        return replyText(fd, 200, "OK", "", text);
    }
    if (method == "POST" && target.compare(0, 7, "/$batch") == 0) {
        size_t operations = countOf(body, "application/http");
        ++g_batches;
        g_operations += operations;
        std::string reply = "";
        const std::string batch = "batchresponse_5b4f1c3e-0000-4000-8000-000000000001";
        const std::string changeset = "changesetresponse_5b4f1c3e-0000-4000-8000-000000000002";
        reply.reserve(64 + operations * 220);
        reply += "--" + batch + "\r\nContent-Type: multipart/mixed; boundary=" + changeset + "\r\n\r\n";
        for (size_t i = 0; i < operations; ++i)
            reply += "--" + changeset +
                     "\r\nContent-Type: application/http\r\nContent-Transfer-Encoding: binary\r\n\r\n"
                     "HTTP/1.1 204 No Content\r\nX-Content-Type-Options: nosniff\r\nCache-Control: no-cache\r\n"
                     "DataServiceVersion: 1.0;\r\n\r\n";
        reply += "--" + changeset + "--\r\n--" + batch + "--\r\n";
        return reply.empty() ? false
                             : ::reply(fd, 202, "Accepted", "", reply.data(), reply.size(),
                                       ("multipart/mixed; boundary=" + batch).c_str());
    }
    if (method == "POST" && target.compare(0, 7, "/Tables") == 0) {
        std::string name = tableNameIn(body);
        bool created;
        {
            std::lock_guard<std::mutex> lock(g_tablesMutex);
            created = g_tables.insert(name).second;
        }
        if (!created)
            return replyText(fd, 409, "Conflict", "x-ms-error-code: TableAlreadyExists\r\n",
                             "{\"odata.error\":{\"code\":\"TableAlreadyExists\",\"message\":{\"lang\":\"en-US\","
                             "\"value\":\"The table specified already exists.\"}}}");
        return replyText(fd, 201, "Created", "",
                         "{\"odata.metadata\":\"http://127.0.0.1/bench/$metadata#Tables/@Element\",\"TableName\":\"" +
                             name + "\"}");
    }
    if (method == "GET" && (target == "/Tables" || target.compare(0, 8, "/Tables?") == 0)) {
        std::string list = "{\"odata.metadata\":\"http://127.0.0.1/bench/$metadata#Tables\",\"value\":[";
        std::lock_guard<std::mutex> lock(g_tablesMutex);
        for (const auto& name : g_tables) list += (list.back() == '[' ? "" : ",") + std::string("{\"TableName\":\"") + name + "\"}";
        return replyText(fd, 200, "OK", "", list + "]}");
    }
    if (target.compare(0, 9, "/Tables('") == 0) {
        std::string name = target.substr(9, target.find('\'', 9) - 9);
        bool known;
        {
            std::lock_guard<std::mutex> lock(g_tablesMutex);
            known = g_tables.count(name) > 0;
        }
        if (method == "DELETE") {
            std::lock_guard<std::mutex> lock(g_tablesMutex);
            g_tables.erase(name);
            return reply(fd, known ? 204 : 404, known ? "No Content" : "Not Found",
                         known ? "" : "x-ms-error-code: ResourceNotFound\r\n", known ? "" : notFound.data(),
                         known ? 0 : notFound.size());
        }
        if (!known) return replyText(fd, 404, "Not Found", "x-ms-error-code: ResourceNotFound\r\n", notFound);
        return replyText(fd, 200, "OK", "",
                         "{\"odata.metadata\":\"http://127.0.0.1/bench/$metadata#Tables/@Element\",\"TableName\":\"" +
                             name + "\"}");
    }
    std::string source = std::string("/") + kSourceTable;
    if (method == "GET" && target.compare(0, source.size(), source) == 0 &&
        (target.size() == source.size() || target[source.size()] == '(' || target[source.size()] == '?')) {
        std::string row = queryParameter(target, "NextRowKey");
        unsigned long long first = row.size() > 1 ? std::strtoull(row.c_str() + 1, nullptr, 10) : 0;
        if (first % kPageEntities != 0 || first >= std::max<unsigned long long>(g_entities, 1))
            return replyText(fd, 400, "Bad Request", "x-ms-error-code: InvalidInput\r\n",
                             "{\"odata.error\":{\"code\":\"InvalidInput\"}}");
        unsigned long long count = std::min(kPageEntities, g_entities - first);
        const bool keysOnly = target.find("$select=PartitionKey%2CRowKey") != std::string::npos;
        PageTemplate* served = keysOnly ? &pages.keys : &pages.full;
        if (count != kPageEntities) {
            PageTemplate*& last = pages.last[keysOnly];
            if (!last || last->entities != count) {
                delete last;
                last = new PageTemplate(count, keysOnly);
            }
            served = last;
        }
        served->fill(first);
        std::string headers;
        unsigned long long next = first + count;
        if (next < g_entities) {
            char text[160];
            std::snprintf(text, sizeof text,
                          "x-ms-continuation-NextPartitionKey: 1!8!cDAwMDA-\r\nx-ms-continuation-NextRowKey: r%010llu\r\n",
                          next);
            headers = text;
        }
        ++g_pages;
        g_served += count;
        return reply(fd, 200, "OK", headers, served->body.data(), served->body.size());
    }
    return replyText(fd, 404, "Not Found", "x-ms-error-code: ResourceNotFound\r\n", notFound);
}

void serve(int fd) {
    int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
    Pages pages;
    std::string input;
    std::vector<char> block(1 << 16);
    // Appends what the socket has to `input`; false once the connection is closed.
    auto readMore = [&]() {
        ssize_t n = ::read(fd, block.data(), block.size());
        if (n > 0) input.append(block.data(), static_cast<size_t>(n));
        return n > 0;
    };
    bool open = true;
    while (open) {
        size_t end;
        while ((end = input.find("\r\n\r\n")) == std::string::npos && (open = readMore())) {
        }
        if (!open) break;
        std::string head = input.substr(0, end);
        size_t space = head.find(' ');
        size_t space2 = head.find(' ', space + 1);
        std::string method = head.substr(0, space);
        std::string target = head.substr(space + 1, space2 - space - 1);
        size_t length = 0;
        for (size_t at = 0; (at = head.find('\n', at)) != std::string::npos;) {
            ++at;
            if (strncasecmp(head.c_str() + at, "content-length:", 15) == 0)
                length = std::strtoull(head.c_str() + at + 15, nullptr, 10);
        }
        size_t need = end + 4 + length;
        while (input.size() < need && (open = readMore())) {
        }
        if (!open) break;
        std::string body = input.substr(end + 4, length);
        input.erase(0, need);
        // Paths of emulator-style URLs carry the account first; both forms are served.
        if (target.compare(0, 7, "/bench/") == 0) target.erase(0, 6);
        if (!handle(fd, method, target, body, pages)) break;
    }
    ::close(fd);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr, "usage: %s ENTITIES [PORT]\n", argv[0]);
        return 2;
    }
    g_entities = std::strtoull(argv[1], nullptr, 10);
    g_tables.insert(kSourceTable);
    int port = argc > 2 ? std::atoi(argv[2]) : 0;
    int listener = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    int one = 1;
    setsockopt(listener, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(static_cast<uint16_t>(port));
    if (::bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 || ::listen(listener, 64) != 0) {
        std::perror("bind");
        return 1;
    }
    socklen_t size = sizeof address;
    getsockname(listener, reinterpret_cast<sockaddr*>(&address), &size);
    std::printf("%d\n", ntohs(address.sin_port));
    std::fflush(stdout);
    while (true) {
        int fd = ::accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        std::thread(serve, fd).detach();
    }
}
