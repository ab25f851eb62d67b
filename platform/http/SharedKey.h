#pragma once
// Shared Key authorization for the Table service. Stateless, thread-safe. The key is the
// account key as the portal shows it (base64); it is decoded here and never returned or logged.
//
// String to sign (Shared Key, Table service):
//   VERB \n Content-MD5 \n Content-Type \n Date \n CanonicalizedResource
// CanonicalizedResource = "/" + account + the URL's encoded path, plus "?comp=<value>" when the
// query has a comp parameter. For path-style (emulator) URLs the path already starts with the
// account, so it appears twice: /devstoreaccount1/devstoreaccount1/Tables.
#include <ctime>
#include <map>
#include <memory>
#include <string>

#include "platform/http/AzureTableRequest.h"
#include "platform/util/Export.h"

namespace platform {
namespace http {

// Strict base64 (RFC 4648 alphabet, padding required when the length is not a multiple of 4).
AZT_API bool base64Decode(const std::string& text, std::string& bytes);
AZT_API std::string base64Encode(const std::string& bytes);

// The raw 32-byte HMAC-SHA256 of `message` under `key`.
AZT_API std::string hmacSha256(const std::string& key, const std::string& message);

// "Sun, 06 Nov 1994 08:49:37 GMT", independent of the process locale.
AZT_API std::string rfc1123Date(std::time_t time);

AZT_API std::string canonicalizedResource(const std::string& accountName, const std::string& url);
AZT_API std::string sharedKeyStringToSign(const std::string& method, const std::string& contentMd5,
                                          const std::string& contentType, const std::string& date,
                                          const std::string& canonicalizedResource);
// Shared Key Lite: Date \n CanonicalizedResource (kept for completeness; requests use Shared Key).
AZT_API std::string sharedKeyLiteStringToSign(const std::string& date, const std::string& canonicalizedResource);

// The header value of `name` compared without regard to case, or "" when absent.
AZT_API std::string headerValue(const std::map<std::string, std::string>& headers, const std::string& name);
// Removes every header called `name` (any case).
AZT_API void eraseHeader(std::map<std::string, std::string>& headers, const std::string& name);

// Prepares one attempt: sets x-ms-date and Date to `now` and, when the signing information
// holds a key, Authorization = "SharedKey <account>:<signature>" over the URL as it will be
// sent. Without a key any Authorization header is removed. False (headers unchanged, `error`
// saying why, never quoting the key) when the key is not base64.
AZT_API bool signRequest(std::map<std::string, std::string>& headers, const std::string& method,
                         const std::string& url, const AzureTableSigningInfo& signing, std::time_t now,
                         std::string* error = nullptr);

// signRequest for the requests of one transport, with the same results. It keeps the decoded
// key and a keyed HMAC between requests (OpenSSL looks its algorithms up anew for every one-shot
// call, which costs more than the signature itself). Owns that state, the key's copy included,
// and wipes it when the key changes and at its end. One thread at a time; a failure changes
// nothing, as signRequest's.
class AZT_API SharedKeySigner {
public:
    SharedKeySigner();
    ~SharedKeySigner();
    SharedKeySigner(const SharedKeySigner&) = delete;
    SharedKeySigner& operator=(const SharedKeySigner&) = delete;

    bool sign(std::map<std::string, std::string>& headers, const std::string& method, const std::string& url,
              const AzureTableSigningInfo& signing, std::time_t now, std::string* error = nullptr);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

}  // namespace http
}  // namespace platform
