#pragma once
// Storage connection strings ("Name=Value;Name=Value;..."), as the Azure portal and the
// emulator hand them out, reduced to what the Table service client needs. Names are matched
// without regard to case; settings for other services (BlobEndpoint, ...) are ignored.
//
// Accepted forms:
//   AccountName=a;AccountKey=k[;TableEndpoint=url]
//   AccountName=a;AccountKey=k;DefaultEndpointsProtocol=http|https[;EndpointSuffix=s]
//       -> <protocol>://a.table.<suffix> (https and core.windows.net when not given)
//   UseDevelopmentStorage=true[;DevelopmentStorageProxyUri=http://host]
//       -> the emulator's development account at http://127.0.0.1:10002/devstoreaccount1
//          (the proxy's scheme and host replace http://127.0.0.1 when given)
// Error messages name the offending setting but never quote a key.
#include <string>

#include "platform/util/Export.h"

namespace platform {
namespace http {

struct AZT_API StorageConnection {
    std::string accountName;
    std::string accountKey;     // base64, as given
    std::string tableEndpoint;  // without a trailing '/'
    bool developmentStorage = false;
};

// The emulator's well-known development account (published with the emulator).
AZT_API extern const char* const kDevelopmentAccountName;
AZT_API extern const char* const kDevelopmentAccountKey;

// False with `error` set when `text` is not a usable connection string.
AZT_API bool parseConnectionString(const std::string& text, StorageConnection& connection, std::string& error);

}  // namespace http
}  // namespace platform
