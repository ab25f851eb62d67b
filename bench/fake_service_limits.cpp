// The limits of the speed benchmark (bench/fake_service.sh): what a trivial client gets out of
// the fake Table service (bench/fake_table_service.cpp) on this machine, the ceiling any backup
// or restore is measured against.
//
//   bench_fake_service_limits fetch URL TABLE            every page with libcurl, body discarded
//   bench_fake_service_limits fetch URL TABLE FILE       the same bytes written to FILE, fsynced
//                                                        every 64 MiB and at the end
//   bench_fake_service_limits batch URL ENTITIES CONNECTIONS
//                                                        ENTITIES/100 prepared batches of 100
//                                                        upserts, CONNECTIONS at a time
// Prints "<entities or operations> <seconds>".
#include <curl/curl.h>
#include <fcntl.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <vector>

namespace {

struct Page {
    int fd = -1;
    unsigned long long bytes = 0, unsynced = 0;
    std::string nextPartition, nextRow;
    bool failed = false;
};

size_t onBody(char* data, size_t size, size_t count, void* user) {
    auto* page = static_cast<Page*>(user);
    size_t n = size * count;
    page->bytes += n;
    if (page->fd >= 0) {
        if (::write(page->fd, data, n) != static_cast<ssize_t>(n)) page->failed = true;
        page->unsynced += n;
        if (page->unsynced >= (64u << 20)) {
            if (::fsync(page->fd) != 0) page->failed = true;
            page->unsynced = 0;
        }
    }
    return n;
}

size_t onHeader(char* data, size_t size, size_t count, void* user) {
    auto* page = static_cast<Page*>(user);
    std::string line(data, size * count);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r')) line.pop_back();
    for (auto* target : {&page->nextPartition, &page->nextRow}) {
        const char* name = target == &page->nextPartition ? "x-ms-continuation-nextpartitionkey:"
                                                          : "x-ms-continuation-nextrowkey:";
        size_t length = std::strlen(name);
        if (line.size() > length && strncasecmp(line.c_str(), name, length) == 0) {
            size_t at = line.find_first_not_of(' ', length);
            *target = at == std::string::npos ? "" : line.substr(at);
        }
    }
    return size * count;
}

int fetch(const std::string& url, const std::string& table, const char* file) {
    Page page;
    if (file) {
        page.fd = ::open(file, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (page.fd < 0) {
            std::perror(file);
            return 1;
        }
    }
    CURL* curl = curl_easy_init();
    curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, onBody);
    curl_easy_setopt(curl, CURLOPT_WRITEDATA, &page);
    curl_easy_setopt(curl, CURLOPT_HEADERFUNCTION, onHeader);
    curl_easy_setopt(curl, CURLOPT_HEADERDATA, &page);
    unsigned long long pages = 0;
    auto start = std::chrono::steady_clock::now();
    std::string next;
    do {
        page.nextPartition.clear();
        page.nextRow.clear();
        std::string target = url + "/" + table + "()" + next;
        curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
        long status = 0;
        if (curl_easy_perform(curl) != CURLE_OK || curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK ||
            status != 200 || page.failed) {
            std::fprintf(stderr, "page %llu failed (status %ld)\n", pages, status);
            return 1;
        }
        ++pages;
        next = page.nextRow.empty() ? "" : "?NextPartitionKey=" + page.nextPartition + "&NextRowKey=" + page.nextRow;
    } while (!next.empty());
    if (page.fd >= 0 && (::fsync(page.fd) != 0 || ::close(page.fd) != 0)) return 1;
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    curl_easy_cleanup(curl);
    std::printf("%llu %.3f %llu\n", pages, seconds, page.bytes);
    return 0;
}

size_t discard(char*, size_t size, size_t count, void*) { return size * count; }

// One prepared batch of 100 upserts of one partition, shaped byte for byte as aztable's restore
// sends the fake's entities (same boundaries' length, operation headers, path and entity text,
// members in the order the backup stores them, the Double annotated), into a table named like
// the benchmark's destinations.
std::string batchBody(const std::string& url, const std::string& boundary, const std::string& changeset) {
    std::string body = "--" + boundary + "\nContent-Type: multipart/mixed; boundary=" + changeset + "\n\n";
    for (int i = 0; i < 100; ++i) {
        char rowKey[16], entity[512];
        std::snprintf(rowKey, sizeof rowKey, "r%010d", i);
        std::snprintf(entity, sizeof entity,
                      "{\"PartitionKey\":\"p0001\",\"RowKey\":\"%s\",\"Timestamp\":\"2026-12-06T06:49:18.8963732Z\","
                      "\"name\":\"entity %04d xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\",\"count\":%d,"
                      "\"big@odata.type\":\"Edm.Int64\",\"big\":\"90071992547%05d\",\"ratio\":%d.25,"
                      "\"ratio@odata.type\":\"Edm.Double\",\"flag\":%s}",
                      rowKey, i, i * 7, i, i, i % 2 ? "true" : "false");
        body += "--" + changeset + "\nContent-Type: application/http\nContent-Transfer-Encoding: binary\n\nPUT " + url +
                "/dest1(PartitionKey='p0001',RowKey='" + rowKey +
                "') HTTP/1.1\nAccept: application/json;odata=minimalmetadata\nContent-Type: application/json\n"
                "DataServiceVersion: 3.0;NetFx\n\n" + entity + "\n";
    }
    return body + "--" + changeset + "--\n--" + boundary + "--\n";
}

int batches(const std::string& url, unsigned long long entities, int connections) {
    const std::string boundary = "batch_00000000-0000-4000-8000-000000000001";
    const std::string body = batchBody(url, boundary, "changeset_00000000-0000-4000-8000-000000000002");
    const unsigned long long total = entities / 100;
    std::atomic<unsigned long long> next{0};
    std::atomic<bool> failed{false};
    auto start = std::chrono::steady_clock::now();
    std::vector<std::thread> threads;
    for (int c = 0; c < connections; ++c) {
        threads.emplace_back([&] {
            CURL* curl = curl_easy_init();
            curl_slist* headers = curl_slist_append(nullptr, ("Content-Type: multipart/mixed; boundary=" + boundary).c_str());
            headers = curl_slist_append(headers, "Expect:");
            const std::string target = url + "/$batch";
            curl_easy_setopt(curl, CURLOPT_URL, target.c_str());
            curl_easy_setopt(curl, CURLOPT_HTTPHEADER, headers);
            curl_easy_setopt(curl, CURLOPT_POSTFIELDS, body.data());
            curl_easy_setopt(curl, CURLOPT_POSTFIELDSIZE_LARGE, static_cast<curl_off_t>(body.size()));
            curl_easy_setopt(curl, CURLOPT_WRITEFUNCTION, discard);
            while (next++ < total && !failed) {
                long status = 0;
                if (curl_easy_perform(curl) != CURLE_OK ||
                    curl_easy_getinfo(curl, CURLINFO_RESPONSE_CODE, &status) != CURLE_OK || status != 202)
                    failed = true;
            }
            curl_slist_free_all(headers);
            curl_easy_cleanup(curl);
        });
    }
    for (auto& thread : threads) thread.join();
    if (failed) {
        std::fprintf(stderr, "a batch failed\n");
        return 1;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%llu %.3f\n", total * 100, seconds);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    curl_global_init(CURL_GLOBAL_DEFAULT);
    std::string mode = argc > 1 ? argv[1] : "";
    if (mode == "fetch" && (argc == 4 || argc == 5)) return fetch(argv[2], argv[3], argc == 5 ? argv[4] : nullptr);
    if (mode == "batch" && argc == 5) return batches(argv[2], std::strtoull(argv[3], nullptr, 10), std::atoi(argv[4]));
    std::fprintf(stderr,
                 "usage: %s fetch URL TABLE [FILE] | batch URL ENTITIES CONNECTIONS\n", argv[0]);
    return 2;
}
