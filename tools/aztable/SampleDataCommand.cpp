// aztable sample-data: fills a table with deterministic entities of every property type, for
// demos, tests and benchmarks.
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "Command.h"
#include "Connection.h"
#include "Explain.h"
#include "Report.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "platform/util/Sleeper.h"
#include "table_service/AzureTableStorage.h"

namespace {

const char* const kDescription =
    "Creates table T when missing and writes N entities spread over P partitions (default 10).\n"
    "The same seed (default 1) always gives the same entities. Every entity carries a property of\n"
    "each type: Int32, Int64 (beyond 2^53), Double (2.0, NaN, Infinity and others), Boolean,\n"
    "String (with non-ASCII text), DateTime (7 fractional digits), Guid and Binary.";

uint64_t mix(uint64_t x) {
    x += 0x9E3779B97F4A7C15ull;
    x = (x ^ (x >> 30)) * 0xBF58476D1CE4E5B9ull;
    x = (x ^ (x >> 27)) * 0x94D049BB133111EBull;
    return x ^ (x >> 31);
}

std::string base64(const unsigned char* data, size_t size) {
    static const char* digits = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    for (size_t i = 0; i < size; i += 3) {
        uint32_t v = uint32_t(data[i]) << 16;
        if (i + 1 < size) v |= uint32_t(data[i + 1]) << 8;
        if (i + 2 < size) v |= data[i + 2];
        out += digits[(v >> 18) & 63];
        out += digits[(v >> 12) & 63];
        out += i + 1 < size ? digits[(v >> 6) & 63] : '=';
        out += i + 2 < size ? digits[v & 63] : '=';
    }
    return out;
}

// One entity line as the batch insertion takes it: its first member is the entity tag, which
// the insertion drops, then keys and properties with their type annotations.
std::string sampleEntity(uint64_t seed, uint64_t index, int partitions, uint64_t version) {
    uint64_t a = mix(seed * 1000003 + index), b = mix(a ^ version), c = mix(b);
    char pk[24], rk[24], guid[40], when[40], number[40];
    std::snprintf(pk, sizeof pk, "p%04d", static_cast<int>(index % static_cast<uint64_t>(partitions)));
    std::snprintf(rk, sizeof rk, "r%09llu", static_cast<unsigned long long>(index));
    std::snprintf(guid, sizeof guid, "%08x-%04x-4%03x-a%03x-%012llx", static_cast<unsigned>(b >> 32),
                  static_cast<unsigned>(b >> 16) & 0xFFFF, static_cast<unsigned>(b) & 0xFFF,
                  static_cast<unsigned>(c >> 52) & 0xFFF, static_cast<unsigned long long>(c & 0xFFFFFFFFFFFFull));
    std::snprintf(when, sizeof when, "20%02u-%02u-%02uT%02u:%02u:%02u.%07uZ", static_cast<unsigned>(b % 30),
                  static_cast<unsigned>(b / 7 % 12 + 1), static_cast<unsigned>(b / 13 % 28 + 1),
                  static_cast<unsigned>(b / 17 % 24), static_cast<unsigned>(b / 19 % 60),
                  static_cast<unsigned>(b / 23 % 60), static_cast<unsigned>(c % 10000000));
    // A value with a fraction, always written with a decimal point so it stays a Double.
    std::snprintf(number, sizeof number, "%.1f", static_cast<double>(static_cast<int64_t>(c % 2000001) - 1000000) / 8.0);
    unsigned char blob[12];
    for (int i = 0; i < 12; ++i) blob[i] = static_cast<unsigned char>(c >> (i * 5));
    static const char* words[] = {"Zürich", "東京", "naïve café", "Ελλάδα", "plain", "emoji 🙂", "tab\\there",
                                  "quote \\\"q\\\""};

    std::string e = "{\"odata.etag\":\"sample\",\"PartitionKey\":\"";
    e += pk;
    e += "\",\"RowKey\":\"";
    e += rk;
    e += "\",\"Version\":" + std::to_string(version);
    e += ",\"Count\":" + std::to_string(static_cast<int32_t>(b));
    e += ",\"Big@odata.type\":\"Edm.Int64\",\"Big\":\"" + std::to_string(9007199254740993ull + (b % 100000) * 2) + "\"";
    e += ",\"Two@odata.type\":\"Edm.Double\",\"Two\":2.0";
    e += std::string(",\"Ratio@odata.type\":\"Edm.Double\",\"Ratio\":") + number;
    e += ",\"Missing@odata.type\":\"Edm.Double\",\"Missing\":\"NaN\"";
    e += std::string(",\"Limit@odata.type\":\"Edm.Double\",\"Limit\":\"") + (index % 2 ? "-Infinity" : "Infinity") + "\"";
    e += std::string(",\"Active\":") + (b & 1 ? "true" : "false");
    e += std::string(",\"Name\":\"") + words[b % 8] + " #" + std::to_string(index) + "\"";
    e += std::string(",\"When@odata.type\":\"Edm.DateTime\",\"When\":\"") + when + "\"";
    e += std::string(",\"Id@odata.type\":\"Edm.Guid\",\"Id\":\"") + guid + "\"";
    e += ",\"Blob@odata.type\":\"Edm.Binary\",\"Blob\":\"" + base64(blob, sizeof blob) + "\"";
    e += "}";
    return e;
}

// Writes `lines` (sorted by partition), submitting refused batches again a few times.
bool writeAll(AzureTableStorage& client, const std::string& table, std::vector<std::string> lines, std::string& error) {
    const size_t slice = 2000;
    for (size_t start = 0; start < lines.size(); start += slice) {
        std::vector<std::string> pending(lines.begin() + static_cast<long>(start),
                                         lines.begin() + static_cast<long>(std::min(lines.size(), start + slice)));
        for (int attempt = 0; !pending.empty(); ++attempt) {
            if (attempt == 5) {
                error = std::to_string(pending.size()) + " entities were refused five times";
                return false;
            }
            if (attempt > 0) platform::sleeper().sleepMs(1000ull << attempt);
            auto outcome = client.batchInsert(table, pending);
            if (outcome.result) pending = *outcome.result;
            else pending.clear();
        }
    }
    return true;
}

struct Options {
    aztable::ConnectionOptions connection;
    std::string table;
    long long count = 0, partitions = 10, seed = 1;
    double fraction = 0;
    bool update = false;
    double deleteFraction = -1;  // -1: none deleted (and the entities are written as usual)
    bool json = false;
};

int sampleData(const Options& o) {
    using platform::Status;
    aztable::Report report("sample-data", o.json);
    const std::string& table = o.table;
    const long long count = o.count, partitions = o.partitions, seed = o.seed;
    const double fraction = o.fraction;
    const bool update = o.update;
    std::string error;
    AzureTableCredentials credentials;
    if (!aztable::connect(o.connection, credentials, error)) return report.fail(Status(Status::Code::BadUsage, error));
    IdaLoggingEnvironment environment("");
    AzureTableStorage client(credentials, environment);

    auto described = client.describeTable(table);
    if (described.errorKind == ResourceNotFound) {
        auto created = client.createTable("{\"TableName\":\"" + table + "\"}");
        if (created.errorKind != Success && created.errorMessage.find("TableAlreadyExists") == std::string::npos) {
            return report.fail(Status(Status::Code::Failed, "cannot create table " + table + ": " +
                                                                aztable::explainServiceFailure(created.errorMessage, table,
                                                                                               credentials.accountName)));
        }
        if (!client.waitForActiveTable(table, 120000)) {
            return report.fail(Status(Status::Code::Failed, "table " + table + " did not become usable"));
        }
    } else if (described.errorKind != Success) {
        return report.fail(Status(Status::Code::Failed, "cannot describe table " + table + ": " +
                                                            aztable::explainServiceFailure(described.errorMessage, table,
                                                                                           credentials.accountName)));
    }

    // Entities of one partition next to each other, so batches stay full.
    uint64_t added = update ? static_cast<uint64_t>(std::llround(fraction * static_cast<double>(count))) : 0;
    uint64_t total = static_cast<uint64_t>(count) + added;
    uint64_t threshold = static_cast<uint64_t>(fraction * 1000000.0);
    std::vector<std::string> lines;
    uint64_t rewritten = 0, fresh = 0;
    for (long long p = 0; p < partitions; ++p) {
        for (uint64_t i = static_cast<uint64_t>(p); i < total; i += static_cast<uint64_t>(partitions)) {
            bool existing = i < static_cast<uint64_t>(count);
            if (update && existing) {
                if (mix(static_cast<uint64_t>(seed) ^ (i * 31 + 7)) % 1000000 >= threshold) continue;
                lines.push_back(sampleEntity(static_cast<uint64_t>(seed), i, static_cast<int>(partitions), 1));
                ++rewritten;
            } else {
                lines.push_back(sampleEntity(static_cast<uint64_t>(seed), i, static_cast<int>(partitions), 0));
                ++fresh;
            }
        }
    }
    // Deleting alone writes nothing.
    if (o.deleteFraction >= 0 && !update) {
        lines.clear();
        fresh = 0;
    }
    auto started = std::chrono::steady_clock::now();
    if (!writeAll(client, table, std::move(lines), error)) {
        return report.fail(Status(Status::Code::Failed, "writing to " + table + " failed: " + error));
    }
    // A selection of its own, so deleting and rewriting pick different entities.
    uint64_t deleted = 0;
    const uint64_t deleteThreshold = static_cast<uint64_t>(std::max(0.0, o.deleteFraction) * 1000000.0);
    for (uint64_t i = 0; deleteThreshold > 0 && i < static_cast<uint64_t>(count); ++i) {
        if (mix(static_cast<uint64_t>(seed) ^ (i * 131 + 3)) % 1000000 >= deleteThreshold) continue;
        char pk[24], rk[24];
        std::snprintf(pk, sizeof pk, "p%04d", static_cast<int>(i % static_cast<uint64_t>(partitions)));
        std::snprintf(rk, sizeof rk, "r%09llu", static_cast<unsigned long long>(i));
        bool existed = false;
        const int kind = client.deleteEntity(table, pk, rk, &existed);
        if (kind != Success)
            return report.fail(Status(Status::Code::Failed, "deleting " + std::string(pk) + "/" + rk + " from " + table +
                                                                " failed (error kind " + std::to_string(kind) + ")"));
        if (existed) ++deleted;
    }
    double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    report.set("table", table).set("account", credentials.accountName);
    report.set("entitiesWritten", static_cast<unsigned long long>(fresh))
        .set("entitiesRewritten", static_cast<unsigned long long>(rewritten))
        .set("entitiesDeleted", static_cast<unsigned long long>(deleted));
    report.set("partitions", partitions).set("seed", seed).set("seconds", seconds);
    report.say("sample-data %s: %llu entities written, %llu rewritten, %llu deleted (%lld partitions, seed %lld) in "
               "%.1f s\n",
               table.c_str(), static_cast<unsigned long long>(fresh), static_cast<unsigned long long>(rewritten),
               static_cast<unsigned long long>(deleted), partitions, seed, seconds);
    return report.finish();
}

aztable::CommandRun defineSampleData(CLI::App& command) {
    auto o = std::make_shared<Options>();
    command.description(kDescription);
    command.add_option("--table", o->table, "the table (created when missing)")->required()->check(aztable::tableNameCheck());
    command.add_option("--count", o->count, "how many entities")->required()->option_text("N")->check(CLI::NonNegativeNumber);
    command.add_option("--partitions", o->partitions, "spread over this many partitions (default 10)")
        ->option_text("P")
        ->check(CLI::Range(1LL, 10000LL));
    command.add_option("--seed", o->seed, "the seed (default 1)")->option_text("S")->check(CLI::NonNegativeNumber);
    command
        .add_option("--update-fraction", o->fraction,
                    "for a table that already holds the N entities of this seed: rewrite about F*N\n"
                    "of them with new values and add about F*N new ones")
        ->option_text("F")
        ->check(CLI::Range(0.0, 1.0))
        ->each([o](const std::string&) { o->update = true; });
    command
        .add_option("--delete-fraction", o->deleteFraction,
                    "for a table that already holds the N entities of this seed: delete about F*N of\n"
                    "them (alone, nothing is written; with --update-fraction, after it)")
        ->option_text("F")
        ->check(CLI::Range(0.0, 1.0));
    aztable::addConnectionOptions(command, o->connection);
    aztable::addJsonOption(command, o->json);
    return [o] { return sampleData(*o); };
}

}  // namespace

AZTABLE_COMMAND("sample-data", "fill a table with deterministic entities of every type", defineSampleData);
