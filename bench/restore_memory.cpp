// Peak memory of a restore as the table grows: restores backups of 100,000, 300,000 and
// 1,000,000 entities from the store on disk through the whole restore path (restore
// environment, windowed replay, batch building) into an HTTP client that accepts every batch,
// and samples the resident set size while it runs. A flat peak means memory does not grow with
// the table. Each size runs in a process of its own, so no run inherits another's heap.
//
//   bench_restore_memory [entities ...]     (default: 100000 300000 1000000)
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <mutex>
#include <set>
#include <string>
#include <thread>

#include "platform/http/HttpClient.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/store/RestoreEnvironment.h"
#include "restore/AzureTableRestore.h"
#include "support/BackupFolder.h"

namespace {

long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.compare(0, 6, "VmRSS:") == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// A Table service that creates tables and takes every batch, keeping nothing.
class AcceptingClient : public platform::http::HttpClient {
public:
    explicit AcceptingClient(std::atomic<unsigned long long>& batches) : m_batches(batches) {}
    platform::http::HttpReply send(const platform::http::HttpExchange& e) override {
        platform::http::HttpReply r;
        static std::mutex mutex;
        static std::set<std::string> tables;
        std::lock_guard<std::mutex> lock(mutex);
        if (e.url.find("$batch") != std::string::npos) {
            ++m_batches;
            r.status = 202;
            // One confirmation per operation: a 202 alone does not count its operations as written.
            r.body = "--batchresponse_1\n";
            for (size_t at = e.body.find("application/http"); at != std::string::npos;
                 at = e.body.find("application/http", at + 1))
                r.body += "--changesetresponse_2\nHTTP/1.1 204 No Content\n\n";
            r.body += "--batchresponse_1--\n";
        } else if (e.method == "POST") {
            tables.insert("dest");
            r.status = 201;
            r.body = "{\"TableName\":\"dest\"}";
        } else if (tables.count("dest")) {
            r.status = 200;
            r.body = "{\"TableName\":\"dest\"}";
        } else {
            r.status = 404;
            r.body = "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}";
        }
        return r;
    }

private:
    std::atomic<unsigned long long>& m_batches;
};

// Writes a backup of `entities` entities (100 partitions) in chunks of 10,000 lines, so that
// making it costs no memory either.
void writeBackup(testing_support::BackupFolder& folder, unsigned long long entities) {
    const unsigned long long perChunk = 10000;
    for (unsigned long long start = 0; start < entities; start += perChunk) {
        std::string text;
        for (unsigned long long i = start; i < std::min(entities, start + perChunk); ++i) {
            char line[512];
            std::snprintf(line, sizeof line,
                          "{\"odata.etag\":\"W/\\\"datetime'2024-01-01T00%%3A00%%3A00.1234567Z'\\\"\","
                          "\"PartitionKey\":\"p%04llu\",\"RowKey\":\"r%010llu\",\"Timestamp\":"
                          "\"2024-01-01T00:00:00.1234567Z\",\"name\":\"entity %llu "
                          "xxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxxx\","
                          "\"count\":%llu,\"big@odata.type\":\"Edm.Int64\",\"big\":\"%llu\",\"ratio\":%llu.5,"
                          "\"flag\":true}\n",
                          (i / 1000) % 100, i, i, i, 9007199254740993ULL + i, i);
            text += line;
        }
        folder.addChunk(text);
    }
    folder.finish();
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<unsigned long long> sizes;
    for (int i = 1; i < argc; ++i) sizes.push_back(std::strtoull(argv[i], nullptr, 10));
    if (sizes.empty()) sizes = {100000, 300000, 1000000};

    std::atomic<unsigned long long> batches{0};
    platform::http::setHttpClientFactory([&batches] { return std::make_unique<AcceptingClient>(batches); });
    std::printf("%12s %10s %14s %12s %14s\n", "entities", "seconds", "entities/s", "batches", "peak RSS MiB");
    std::fflush(stdout);
    for (unsigned long long entities : sizes) {
        pid_t child = fork();
        if (child < 0) return 1;
        if (child > 0) {
            int status = 0;
            waitpid(child, &status, 0);
            if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) return 1;
            continue;
        }
        testing_support::BackupFolder folder;  // removed below: _exit runs no destructors
        writeBackup(folder, entities);
        const std::string path = folder.path();
        batches = 0;
        const long before = residentKiB();
        std::atomic<long> peak{before};
        std::atomic<bool> done{false};
        std::thread sampler([&] {
            while (!done) {
                long now = residentKiB();
                if (now > peak) peak = now;
                std::this_thread::sleep_for(std::chrono::milliseconds(20));
            }
        });

        AzureTableCredentials credentials;
        credentials.accountName = "bench";
        credentials.accountUrl = "http://127.0.0.1:9";
        credentials.accessKey = "YmVuY2g=";
        IdaLoggingEnvironment job("");
        platform::store::RestoreEnvironment backup(path);
        auto runner = boost::make_shared<AzureTableRestoreRunner>(credentials, job);
        auto started = std::chrono::steady_clock::now();
        bool ok = runner->execute(false, "dest", &backup, {}, false);
        double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
        done = true;
        sampler.join();
        std::printf("%12llu %10.2f %14.0f %12llu %14.1f%s\n", entities, seconds, entities / seconds, batches.load(),
                    peak / 1024.0, ok ? "" : "  (restore FAILED)");
        std::fflush(stdout);
        std::system(("rm -rf '" + path + "'").c_str());
        _exit(ok ? 0 : 1);
    }
    return 0;
}
