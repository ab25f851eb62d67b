#include "platform/http/ConnectionString.h"

#include <algorithm>
#include <cctype>
#include <map>

#include "platform/http/SharedKey.h"
#include "platform/log/DebugLog.h"
#include "platform/util/Text.h"

namespace platform {
namespace http {

const char* const kDevelopmentAccountName = "devstoreaccount1";
const char* const kDevelopmentAccountKey =
    "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";

namespace {

using platform::text::trim;

std::string lower(std::string text) { return platform::text::toLower(std::move(text)); }

// Splits "scheme://host[:port][/path]" and checks that it is a plain http(s) URL.
bool splitUrl(const std::string& url, std::string& scheme, std::string& host, std::string& rest) {
    size_t colon = url.find("://");
    if (colon == std::string::npos) return false;
    scheme = lower(url.substr(0, colon));
    if (scheme != "http" && scheme != "https") return false;
    size_t hostStart = colon + 3;
    size_t hostEnd = url.find('/', hostStart);
    host = url.substr(hostStart, hostEnd == std::string::npos ? std::string::npos : hostEnd - hostStart);
    rest = hostEnd == std::string::npos ? "" : url.substr(hostEnd);
    if (host.empty() || host.find('@') != std::string::npos) return false;
    if (url.find_first_of("?# \t") != std::string::npos) return false;
    return true;
}

std::string withoutTrailingSlashes(std::string url) {
    while (!url.empty() && url.back() == '/') url.pop_back();
    return url;
}

}  // namespace

bool parseConnectionString(const std::string& text, StorageConnection& connection, std::string& error) {
    connection = StorageConnection{};
    error.clear();
    // Setting names as the user wrote them, keyed by their lower-case form.
    std::map<std::string, std::pair<std::string, std::string>> settings;
    size_t part = 0;
    size_t from = 0;
    while (from <= text.size()) {
        size_t end = text.find(';', from);
        if (end == std::string::npos) end = text.size();
        std::string segment = trim(text.substr(from, end - from));
        from = end + 1;
        if (segment.empty()) continue;
        ++part;
        size_t equals = segment.find('=');
        if (equals == std::string::npos || trim(segment.substr(0, equals)).empty()) {
            error = "connection string part " + std::to_string(part) + " is not of the form Name=Value";
            return false;
        }
        std::string name = trim(segment.substr(0, equals));
        std::string value = trim(segment.substr(equals + 1));
        if (!settings.emplace(lower(name), std::make_pair(name, value)).second) {
            error = "connection string gives " + name + " more than once";
            return false;
        }
    }
    if (settings.empty()) {
        error = "the connection string is empty";
        return false;
    }
    auto get = [&](const char* name, std::string& value) {
        auto found = settings.find(lower(name));
        if (found == settings.end()) return false;
        value = found->second.second;
        return true;
    };

    std::string value;
    if (get("AccountKey", value) && !value.empty()) platform::log::registerSecret(value);

    if (get("UseDevelopmentStorage", value)) {
        if (lower(value) != "true") {
            error = "UseDevelopmentStorage must be true when it is given";
            return false;
        }
        for (const char* conflicting : {"AccountName", "AccountKey", "TableEndpoint", "EndpointSuffix"}) {
            std::string ignored;
            if (get(conflicting, ignored)) {
                error = std::string("UseDevelopmentStorage=true cannot be combined with ") + conflicting;
                return false;
            }
        }
        std::string base = "http://127.0.0.1";
        if (get("DevelopmentStorageProxyUri", value)) {
            std::string scheme, host, rest;
            if (!splitUrl(value, scheme, host, rest)) {
                error = "DevelopmentStorageProxyUri is not an http or https URL";
                return false;
            }
            // The emulator's own port follows the proxy's host, as the Azure SDKs do it.
            size_t port = host.rfind(':');
            if (port != std::string::npos && host.find(']', port) == std::string::npos) host.resize(port);
            base = scheme + "://" + host;
        }
        connection.accountName = kDevelopmentAccountName;
        connection.accountKey = kDevelopmentAccountKey;
        connection.tableEndpoint = base + ":10002/" + kDevelopmentAccountName;
        connection.developmentStorage = true;
        return true;
    }

    std::string sas, key;
    if (get("SharedAccessSignature", sas) && !(get("AccountKey", key) && !key.empty())) {
        error = "connection strings with a SharedAccessSignature are not supported; give AccountName and AccountKey";
        return false;
    }
    if (!get("AccountName", connection.accountName) || connection.accountName.empty()) {
        error = "the connection string has no AccountName";
        return false;
    }
    for (unsigned char c : connection.accountName) {
        if (!std::isalnum(c)) {
            error = "AccountName may hold only letters and digits";
            return false;
        }
    }
    if (!get("AccountKey", connection.accountKey) || connection.accountKey.empty()) {
        error = "the connection string has no AccountKey (for account '" + connection.accountName + "')";
        return false;
    }
    std::string decoded;
    if (!base64Decode(connection.accountKey, decoded)) {
        error = "the AccountKey of account '" + connection.accountName + "' is not valid base64";
        return false;
    }

    if (get("TableEndpoint", value)) {
        std::string scheme, host, rest;
        if (!splitUrl(value, scheme, host, rest)) {
            error = "TableEndpoint is not a plain http or https URL";
            return false;
        }
        connection.tableEndpoint = withoutTrailingSlashes(value);
        return true;
    }
    std::string protocol = "https";
    if (get("DefaultEndpointsProtocol", value)) {
        protocol = lower(value);
        if (protocol != "http" && protocol != "https") {
            error = "DefaultEndpointsProtocol must be http or https";
            return false;
        }
    }
    std::string suffix = "core.windows.net";
    if (get("EndpointSuffix", value)) {
        suffix = value;
        while (!suffix.empty() && suffix.front() == '.') suffix.erase(0, 1);
        if (suffix.empty() || suffix.find_first_of("/:?# \t") != std::string::npos) {
            error = "EndpointSuffix must be a host name suffix such as core.windows.net";
            return false;
        }
    }
    connection.tableEndpoint = protocol + "://" + lower(connection.accountName) + ".table." + suffix;
    return true;
}

}  // namespace http
}  // namespace platform
