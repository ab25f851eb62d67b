// aztable compare-tables: compares two tables entity by entity, property by property, value and
// type, leaving out what the service sets itself (Timestamp and the entity tag).
#include <cmath>
#include <cstdio>
#include <map>
#include <string>
#include <vector>

#include <rapidjson/document.h>
#include <rapidjson/stringbuffer.h>
#include <rapidjson/writer.h>

#include "Command.h"
#include "Connection.h"
#include "platform/ida/IdaLoggingEnvironment.h"
#include "table_service/AzureTableStorage.h"

namespace aztable {
namespace {

const char* const kUsage =
    "usage: aztable compare-tables --table A --other B [--other-connection-string S]\n"
    "\n"
    "Compares table A with table B (of the same account, or of the account S) entity by entity:\n"
    "every property's value and type must agree; Timestamp and the entity tag are left out.\n"
    "Prints the differences; exits 0 when the tables are equal, 1 when they differ.\n"
    "\n"
    "  --table A                    the first table\n"
    "  --other B                    the second table\n"
    "  --other-connection-string S  the account of B (default: the account of A)\n";

const size_t kMaxListed = 20;

// One property as typed data: its Edm type and a canonical text of its value.
struct Value {
    std::string type;
    std::string text;
    bool operator==(const Value& other) const { return type == other.type && text == other.text; }
};
using Entity = std::map<std::string, Value>;

std::string canonicalDouble(double d) {
    if (std::isnan(d)) return "NaN";
    if (std::isinf(d)) return d > 0 ? "Infinity" : "-Infinity";
    char text[64];
    std::snprintf(text, sizeof text, "%.17g", d);
    return text;
}

// Reads one entity line (minimal metadata) into typed properties.
bool parseEntity(const std::string& line, std::string& key, Entity& entity) {
    rapidjson::Document doc;
    doc.Parse(line.c_str(), line.size());
    if (doc.HasParseError() || !doc.IsObject()) return false;
    std::map<std::string, std::string> annotations;
    for (const auto& m : doc.GetObject()) {
        std::string name(m.name.GetString(), m.name.GetStringLength());
        const std::string suffix = "@odata.type";
        if (name.size() > suffix.size() && name.compare(name.size() - suffix.size(), suffix.size(), suffix) == 0 &&
            m.value.IsString())
            annotations[name.substr(0, name.size() - suffix.size())] = m.value.GetString();
    }
    std::string pk, rk;
    for (const auto& m : doc.GetObject()) {
        std::string name(m.name.GetString(), m.name.GetStringLength());
        if (name.find('@') != std::string::npos || name.compare(0, 6, "odata.") == 0 || name == "Timestamp") continue;
        Value v;
        auto annotation = annotations.find(name);
        const auto& j = m.value;
        if (j.IsString()) {
            v.type = annotation != annotations.end() ? annotation->second : "Edm.String";
            v.text.assign(j.GetString(), j.GetStringLength());
            if (v.type == "Edm.Double") {  // NaN and the infinities travel as text
                v.text = v.text == "NaN" || v.text == "Infinity" || v.text == "-Infinity"
                             ? v.text
                             : canonicalDouble(std::strtod(v.text.c_str(), nullptr));
            }
        } else if (j.IsBool()) {
            v.type = "Edm.Boolean";
            v.text = j.GetBool() ? "true" : "false";
        } else if (j.IsInt() && annotation == annotations.end()) {
            v.type = "Edm.Int32";
            v.text = std::to_string(j.GetInt());
        } else if (j.IsNumber()) {
            v.type = annotation != annotations.end() ? annotation->second : "Edm.Double";
            v.text = v.type == "Edm.Double" ? canonicalDouble(j.GetDouble())
                                            : (j.IsInt64() ? std::to_string(j.GetInt64()) : canonicalDouble(j.GetDouble()));
        } else if (j.IsNull()) {
            v.type = "null";
        } else {
            rapidjson::StringBuffer buffer;
            rapidjson::Writer<rapidjson::StringBuffer> w(buffer);
            j.Accept(w);
            v.type = "json";
            v.text = buffer.GetString();
        }
        if (name == "PartitionKey") pk = v.text;
        if (name == "RowKey") rk = v.text;
        entity[name] = v;
    }
    key = pk + "\x1f" + rk;
    return true;
}

std::string printableKey(const std::string& key) {
    size_t cut = key.find('\x1f');
    return "(PartitionKey '" + key.substr(0, cut) + "', RowKey '" + key.substr(cut + 1) + "')";
}

// Collects the lines of every page into entities.
class CollectingOutput : public IdaOutput {
public:
    CollectingOutput(IdaEnvironment* env, std::map<std::string, Entity>& entities)
        : IdaOutput("compare", env), m_entities(entities) {}
    bool putString(const std::string& text) override {
        size_t pos = 0;
        while (pos < text.size()) {
            size_t end = text.find('\n', pos);
            if (end == std::string::npos) end = text.size();
            std::string key;
            Entity entity;
            if (end > pos && !parseEntity(text.substr(pos, end - pos), key, entity)) m_bad = true;
            else if (end > pos) m_entities[key] = std::move(entity);
            pos = end + 1;
        }
        return true;
    }
    void updateRestart(const std::string&) override {}
    bool flush() override { return true; }
    bool close(const std::string&) override { return true; }
    bool bad() const { return m_bad; }

private:
    std::map<std::string, Entity>& m_entities;
    bool m_bad = false;
};

bool readTable(AzureTableCredentials& credentials, const std::string& table, std::map<std::string, Entity>& entities,
               std::string& error) {
    IdaLoggingEnvironment env("compare-tables");
    AzureTableStorage client(credentials, env);
    auto described = client.describeTable(table);
    if (described.errorKind != 0) {
        error = described.errorKind == ResourceNotFound ? "table " + table + " does not exist"
                                                        : "cannot read table " + table + ": " + described.errorMessage;
        return false;
    }
    CollectingOutput output(&env, entities);
    AzureTableContinuationToken token;
    do {
        int kind = client.queryEntities(table, token, &output, token, 0, 0);
        if (kind != 0) {
            error = "reading the entities of " + table + " failed (error kind " + std::to_string(kind) + ")";
            return false;
        }
    } while (!token.nextPartitionKey.empty() || !token.nextRowKey.empty());
    if (output.bad()) {
        error = "table " + table + " returned an entity that is not JSON";
        return false;
    }
    return true;
}

int compareTables(const std::vector<std::string>& arguments) {
    std::vector<std::string> args = arguments;
    ConnectionOptions connection, otherConnection;
    std::string error, table, other;
    auto fail = [](const std::string& message, int code) {
        std::fprintf(stderr, "aztable compare-tables: %s\n", message.c_str());
        if (code == 2) std::fprintf(stderr, "\n%s%s", kUsage, kConnectionOptionsHelp);
        return code;
    };
    if (!takeConnectionOptions(args, connection, error)) return fail(error, 2);
    for (size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        auto value = [&](std::string& out) {
            if (i + 1 >= args.size() || args[i + 1].empty()) return false;
            out = args[++i];
            return true;
        };
        if (arg == "-h" || arg == "--help") {
            std::printf("%s%s", kUsage, kConnectionOptionsHelp);
            return 0;
        } else if (arg == "--table") {
            if (!value(table)) return fail("--table needs a table name", 2);
        } else if (arg == "--other") {
            if (!value(other)) return fail("--other needs a table name", 2);
        } else if (arg == "--other-connection-string") {
            if (!value(otherConnection.connectionString)) return fail("--other-connection-string needs a value", 2);
        } else {
            return fail("unknown option '" + arg + "'", 2);
        }
    }
    if (table.empty() || other.empty()) return fail("give both tables with --table and --other", 2);

    AzureTableCredentials credentials, otherCredentials;
    if (!connect(connection, credentials, error)) return fail(error, 2);
    otherCredentials = credentials;
    if (!otherConnection.connectionString.empty() && !connect(otherConnection, otherCredentials, error))
        return fail("other account: " + error, 2);

    std::map<std::string, Entity> a, b;
    if (!readTable(credentials, table, a, error) || !readTable(otherCredentials, other, b, error)) return fail(error, 1);

    size_t differences = 0;
    auto report = [&](const std::string& text) {
        if (differences++ < kMaxListed) std::printf("%s\n", text.c_str());
    };
    auto ia = a.begin();
    auto ib = b.begin();
    while (ia != a.end() || ib != b.end()) {
        if (ib == b.end() || (ia != a.end() && ia->first < ib->first)) {
            report("only in " + table + ": " + printableKey(ia->first));
            ++ia;
        } else if (ia == a.end() || ib->first < ia->first) {
            report("only in " + other + ": " + printableKey(ib->first));
            ++ib;
        } else {
            std::map<std::string, std::pair<const Value*, const Value*>> properties;
            for (const auto& p : ia->second) properties[p.first].first = &p.second;
            for (const auto& p : ib->second) properties[p.first].second = &p.second;
            for (const auto& p : properties) {
                auto show = [](const Value* v) { return v ? v->type + " " + v->text : std::string("(missing)"); };
                if (!p.second.first || !p.second.second || !(*p.second.first == *p.second.second))
                    report("differs " + printableKey(ia->first) + " property " + p.first + ": " + table + " has " +
                           show(p.second.first) + ", " + other + " has " + show(p.second.second));
            }
            ++ia;
            ++ib;
        }
    }
    if (differences > kMaxListed) std::printf("... and %zu more differences\n", differences - kMaxListed);
    if (differences == 0) {
        std::printf("tables %s and %s are equal (%zu entities)\n", table.c_str(), other.c_str(), a.size());
        return 0;
    }
    std::printf("tables %s and %s differ: %zu difference%s (%zu and %zu entities)\n", table.c_str(), other.c_str(),
                differences, differences == 1 ? "" : "s", a.size(), b.size());
    return 1;
}

}  // namespace

AZTABLE_COMMAND("compare-tables", "compare two tables entity by entity, value by value and type by type",
                compareTables);

}  // namespace aztable
