#pragma once
// The storage account a client talks to. Copied by value into every runner and input.
#include <string>

#include "platform/util/Export.h"

struct AZT_API AzureTableCredentials {
    std::string accountName;
    std::string accountUrl;
    std::string accessKey;
    std::string spareText;       // passed through to the request builder; always ""
    long long spareNumber = -1;  // passed through; always -1
};
