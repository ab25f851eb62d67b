#include <gtest/gtest.h>

#include "platform/http/ConnectionString.h"

using platform::http::parseConnectionString;
using platform::http::StorageConnection;

namespace {
const std::string kKey = "a2V5LWZvci10ZXN0cw==", kWithKey = ";AccountKey=" + kKey;
const std::string kDev = "http://127.0.0.1:10002/devstoreaccount1";
}

TEST(ConnectionString, AccountsEndpointsAndDevelopmentStorage) {
    const struct { std::string text, account, endpoint; } cases[] = {
        {"DefaultEndpointsProtocol=https;AccountName=myacct" + kWithKey + ";EndpointSuffix=core.windows.net", "myacct",
         "https://myacct.table.core.windows.net"},
        {"AccountName=a1" + kWithKey, "a1", "https://a1.table.core.windows.net"},
        {" accountname = a1 ; ACCOUNTKEY=" + kKey + " ; defaultendpointsprotocol=HTTP;EndpointSuffix=core.chinacloudapi.cn;",
         "a1", "http://a1.table.core.chinacloudapi.cn"},
        {"AccountName=devstoreaccount1" + kWithKey + ";TableEndpoint=" + kDev + "/;", "devstoreaccount1", kDev},
        {"UseDevelopmentStorage=true", "", kDev},  // no account: the development one
        {"UseDevelopmentStorage=True;DevelopmentStorageProxyUri=http://myproxy:8080/", "", "http://myproxy:10002/devstoreaccount1"},
    };
    for (const auto& c : cases) {
        StorageConnection connection;
        std::string error;
        ASSERT_TRUE(parseConnectionString(c.text, connection, error)) << c.text << ": " << error;
        EXPECT_EQ(connection.accountName, c.account.empty() ? "devstoreaccount1" : c.account);
        EXPECT_EQ(connection.tableEndpoint, c.endpoint);
        EXPECT_EQ(connection.developmentStorage, c.account.empty());
        EXPECT_EQ(connection.accountKey, c.account.empty() ? platform::http::kDevelopmentAccountKey : kKey);
    }
}

TEST(ConnectionString, MalformedInputGetsAClearErrorThatNeverQuotesTheKey) {
    const std::pair<std::string, const char*> cases[] = {
        {" ; ;", "empty"}, {"AccountKey=" + kKey, "no AccountName"}, {"AccountName=a1;AccountKey=", "no AccountKey"},
        {"AccountName=a1;AccountKey=s3cr3t!!", "not valid base64"}, {"AccountName=a1;" + kKey, ""},
        {"AccountName=a1;AccountKey" + kKey.substr(0, 8) + ";x=1", "part 2"},
        {"AccountName=a1;AccountName=a2" + kWithKey, "more than once"},
        {"AccountName=a1" + kWithKey + ";DefaultEndpointsProtocol=ftp", "http or https"},
        {"AccountName=a1" + kWithKey + ";TableEndpoint=127.0.0.1:10002", "TableEndpoint"},
        {"AccountName=a1" + kWithKey + ";TableEndpoint=https://h/x?sig=abc", ""}, {"AccountName=a/b" + kWithKey, ""},
        {"AccountName=a1" + kWithKey + ";EndpointSuffix=evil.com/x", ""},
        {"AccountName=a1;SharedAccessSignature=sv=2020&sig=x", "not supported"}, {"UseDevelopmentStorage=false", ""},
        {"UseDevelopmentStorage=true;AccountName=x", ""}, {"UseDevelopmentStorage=true;DevelopmentStorageProxyUri=ftp://x", ""},
    };
    for (const auto& c : cases) {
        StorageConnection connection;
        std::string error;
        EXPECT_FALSE(parseConnectionString(c.first, connection, error) || error.empty()) << c.first;
        EXPECT_NE(error.find(c.second), std::string::npos) << c.first << ": " << error;
        for (const std::string& secret : {std::string("s3cr3t"), kKey.substr(0, 8)})
            EXPECT_EQ(error.find(secret), std::string::npos) << error;
    }
}
