#include <gtest/gtest.h>

#include "platform/http/ConnectionString.h"

using platform::http::parseConnectionString;
using platform::http::StorageConnection;

namespace {
const std::string kKey = "a2V5LWZvci10ZXN0cw==";
}

TEST(ConnectionString, AccountsEndpointsAndDevelopmentStorage) {
    const struct { std::string text, account, endpoint; bool development; } cases[] = {
        {"DefaultEndpointsProtocol=https;AccountName=myacct;AccountKey=" + kKey + ";EndpointSuffix=core.windows.net",
         "myacct", "https://myacct.table.core.windows.net", false},
        {"AccountName=a1;AccountKey=" + kKey, "a1", "https://a1.table.core.windows.net", false},
        {" accountname = a1 ; ACCOUNTKEY=" + kKey + " ; defaultendpointsprotocol=HTTP;EndpointSuffix=core.chinacloudapi.cn;",
         "a1", "http://a1.table.core.chinacloudapi.cn", false},
        {"AccountName=devstoreaccount1;AccountKey=" + kKey + ";TableEndpoint=http://127.0.0.1:10002/devstoreaccount1/;",
         "devstoreaccount1", "http://127.0.0.1:10002/devstoreaccount1", false},
        {"UseDevelopmentStorage=true", "devstoreaccount1", "http://127.0.0.1:10002/devstoreaccount1", true},
        {"UseDevelopmentStorage=True;DevelopmentStorageProxyUri=http://myproxy:8080/", "devstoreaccount1",
         "http://myproxy:10002/devstoreaccount1", true},
    };
    for (const auto& c : cases) {
        StorageConnection connection;
        std::string error;
        ASSERT_TRUE(parseConnectionString(c.text, connection, error)) << c.text << ": " << error;
        EXPECT_EQ(connection.accountName, c.account);
        EXPECT_EQ(connection.tableEndpoint, c.endpoint);
        EXPECT_EQ(connection.developmentStorage, c.development);
        EXPECT_EQ(connection.accountKey, c.development ? platform::http::kDevelopmentAccountKey : kKey);
    }
}

TEST(ConnectionString, MalformedInputGetsAClearErrorThatNeverQuotesTheKey) {
    const std::pair<std::string, const char*> cases[] = {
        {"", "empty"}, {" ; ;", "empty"}, {"AccountKey=" + kKey, "no AccountName"}, {"AccountName=a1", "no AccountKey"},
        {"AccountName=a1;AccountKey=", "no AccountKey"}, {"AccountName=a1;AccountKey=s3cr3t!!", "not valid base64"},
        {"AccountName=a1;AccountKey" + kKey.substr(0, 8) + ";x=1", "part 2"}, {"AccountName=a1;" + kKey, ""},
        {"AccountName=a1;AccountName=a2;AccountKey=" + kKey, "more than once"},
        {"AccountName=a1;AccountKey=" + kKey + ";DefaultEndpointsProtocol=ftp", "http or https"},
        {"AccountName=a1;AccountKey=" + kKey + ";TableEndpoint=127.0.0.1:10002", "TableEndpoint"},
        {"AccountName=a1;AccountKey=" + kKey + ";TableEndpoint=https://h/x?sig=abc", ""},
        {"AccountName=a/b;AccountKey=" + kKey, ""}, {"AccountName=a1;AccountKey=" + kKey + ";EndpointSuffix=evil.com/x", ""},
        {"AccountName=a1;SharedAccessSignature=sv=2020&sig=x", "not supported"},
        {"UseDevelopmentStorage=false", ""}, {"UseDevelopmentStorage=true;AccountName=x", ""},
        {"UseDevelopmentStorage=true;DevelopmentStorageProxyUri=ftp://x", ""},
    };
    for (const auto& c : cases) {
        StorageConnection connection;
        std::string error;
        EXPECT_FALSE(parseConnectionString(c.first, connection, error)) << c.first;
        EXPECT_FALSE(error.empty()) << c.first;
        EXPECT_NE(error.find(c.second), std::string::npos) << error;
        EXPECT_EQ(error.find("s3cr3t"), std::string::npos) << error;
        EXPECT_EQ(error.find(kKey.substr(0, 8)), std::string::npos) << error;
    }
}
