// The backup's entity path without a network: a scripted transport serves recorded pages of
// 1000 realistic entities, and the backup job parses, re-serialises and stores them into a
// temporary folder (chunk files, checksums, fsync, manifest) exactly as `aztable backup-table`
// does. Reports entities per second of wall time and per CPU second (both threads), and the
// process's peak resident memory after each table size, which stays flat as tables grow.
#include <benchmark/benchmark.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "backup/AzureTableBackupJob.h"
#include "support/FakeTransport.h"
#include "support/MemoryEnvironment.h"
#include "table_service/AzureTableStorage.h"

namespace {

constexpr int kEntitiesPerPage = 1000;

// One entity as the service returns it in the minimal-metadata format.
std::string entity(int page, int index) {
    char row[32];
    std::snprintf(row, sizeof row, "r%06d%04d", page, index);
    return std::string("{\"odata.etag\":\"W/\\\"datetime'2026-12-06T06%3A49%3A18.8963732Z'\\\"\",") +
           "\"PartitionKey\":\"p" + std::to_string(index % 16) + "\",\"RowKey\":\"" + row +
           "\",\"Timestamp\":\"2026-12-06T06:49:18.8963732Z\",\"Version\":0,\"Count\":-1729469979," +
           "\"Big@odata.type\":\"Edm.Int64\",\"Big\":\"9007199254803851\",\"Two\":2.0,\"Ratio\":121291.9," +
           "\"Missing@odata.type\":\"Edm.Double\",\"Missing\":\"NaN\",\"Limit@odata.type\":\"Edm.Double\"," +
           "\"Limit\":\"Infinity\",\"Active\":true,\"Name\":\"Z\\u00fcrich caf\\u00e9 \\u6771\\u4eac #" +
           std::to_string(index) + "\",\"When@odata.type\":\"Edm.DateTime\",\"When\":\"2019-02-04T06:12:17.1309832Z\"," +
           "\"Id@odata.type\":\"Edm.Guid\",\"Id\":\"251071fb-98ea-41e5-aa3e-98d40aa24288\"," +
           "\"Blob@odata.type\":\"Edm.Binary\",\"Blob\":\"iBSQRKoFUBqYPPlHiBSQRKoFUBqYPPlH\"}";
}

const std::string& pageBody() {
    static const std::string body = [] {
        std::string b = "{\"odata.metadata\":\"https://acct.table.core.windows.net/$metadata#t\",\"value\":[";
        for (int i = 0; i < kEntitiesPerPage; ++i) b += (i ? "," : "") + entity(0, i);
        return b + "]}";
    }();
    return body;
}

double cpuSeconds() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_utime.tv_sec + usage.ru_utime.tv_usec / 1e6 + usage.ru_stime.tv_sec + usage.ru_stime.tv_usec / 1e6;
}

double peakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return usage.ru_maxrss / 1024.0;
}

AzureTableCredentials credentials() {
    AzureTableCredentials c;
    c.accountName = "acct";
    c.accountUrl = "https://acct.table.core.windows.net";
    c.accessKey = "a2V5";
    return c;
}

// The whole backup job of a table of `pages` pages into a fresh temporary folder.
void BM_BackupIntoStore(benchmark::State& state) {
    const int pages = static_cast<int>(state.range(0));
    testing_support::FakeTransportScope transport;
    transport->setResponder([pages](const platform::http::HttpExchange& exchange) {
        platform::http::HttpReply reply;
        reply.status = 200;
        if (exchange.url.find("Tables('") != std::string::npos) {
            reply.body = "{\"TableName\":\"t\"}";
            return reply;
        }
        size_t at = exchange.url.find("NextPartitionKey=");
        int page = at == std::string::npos ? 0 : std::atoi(exchange.url.c_str() + at + 17);
        reply.body = pageBody();
        if (page + 1 < pages) {
            reply.headers["x-ms-continuation-nextpartitionkey"] = std::to_string(page + 1);
            reply.headers["x-ms-continuation-nextrowkey"] = "r";
        }
        return reply;
    });
    std::string root = "/tmp/azt-bench-XXXXXX";
    if (!::mkdtemp(&root[0])) {
        state.SkipWithError("no temporary folder");
        return;
    }
    double cpu = 0;
    int run = 0;
    for (auto _ : state) {
        AzureTableBackupJobOptions options;
        options.folder = root + "/" + std::to_string(run++);
        options.table = "t";
        options.toTime = 1796539779;
        double cpuStart = cpuSeconds();
        AzureTableBackupJob job(credentials(), options);
        std::string message;
        if (job.run(message) != AzureTableBackupJob::Result::Complete) state.SkipWithError(message.c_str());
        cpu += cpuSeconds() - cpuStart;
        state.PauseTiming();
        std::system(("rm -rf '" + options.folder + "'").c_str());
        state.ResumeTiming();
    }
    std::system(("rm -rf '" + root + "'").c_str());
    const double entities = static_cast<double>(pages) * kEntitiesPerPage * state.iterations();
    state.counters["entities/s"] = benchmark::Counter(entities, benchmark::Counter::kIsRate);
    state.counters["entities/cpu_s"] = entities / cpu;
    state.counters["MB/s"] =
        benchmark::Counter(static_cast<double>(pageBody().size()) * pages * state.iterations() / 1e6,
                           benchmark::Counter::kIsRate);
    state.counters["peak_rss_MiB"] = peakRssMiB();
}
BENCHMARK(BM_BackupIntoStore)->Arg(20)->Arg(200)->Arg(1000)->Unit(benchmark::kMillisecond)->UseRealTime()->Iterations(2);

// Parsing and re-serialising one page alone, for comparison.
class NullOutput : public IdaOutput {
public:
    NullOutput() : IdaOutput("null", nullptr) {}
    bool putString(const std::string& text) override {
        benchmark::DoNotOptimize(text.data());
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }
};

void BM_ParsePage(benchmark::State& state) {
    testing_support::MemoryEnvironment env;
    AzureTableCredentials c = credentials();
    AzureTableStorage client(c, env);
    NullOutput out;
    AzureTableContinuationToken next;
    for (auto _ : state) client.parseToStream(pageBody(), &out, next);
    state.counters["entities/s"] =
        benchmark::Counter(static_cast<double>(kEntitiesPerPage) * state.iterations(), benchmark::Counter::kIsRate);
}
BENCHMARK(BM_ParsePage)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
