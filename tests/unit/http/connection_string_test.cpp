#include <gtest/gtest.h>

#include "platform/http/ConnectionString.h"

using platform::http::parseConnectionString;
using platform::http::StorageConnection;

namespace {

const std::string kKey = "a2V5LWZvci10ZXN0cw==";

StorageConnection parsed(const std::string& text) {
    StorageConnection connection;
    std::string error;
    EXPECT_TRUE(parseConnectionString(text, connection, error)) << text << ": " << error;
    return connection;
}

std::string refused(const std::string& text) {
    StorageConnection connection;
    std::string error;
    EXPECT_FALSE(parseConnectionString(text, connection, error)) << text;
    EXPECT_FALSE(error.empty());
    return error;
}

}  // namespace

TEST(ConnectionString, AccountWithEndpointSuffixOrExplicitEndpoint) {
    auto portal = parsed("DefaultEndpointsProtocol=https;AccountName=myacct;AccountKey=" + kKey +
                         ";EndpointSuffix=core.windows.net");
    EXPECT_EQ(portal.accountName, "myacct");
    EXPECT_EQ(portal.accountKey, kKey);
    EXPECT_EQ(portal.tableEndpoint, "https://myacct.table.core.windows.net");
    EXPECT_FALSE(portal.developmentStorage);

    EXPECT_EQ(parsed("AccountName=a1;AccountKey=" + kKey).tableEndpoint, "https://a1.table.core.windows.net");
    EXPECT_EQ(parsed(" accountname = a1 ; ACCOUNTKEY=" + kKey + " ; defaultendpointsprotocol=HTTP;"
                     "EndpointSuffix=core.chinacloudapi.cn;")
                  .tableEndpoint,
              "http://a1.table.core.chinacloudapi.cn");
    auto explicitEndpoint = parsed("DefaultEndpointsProtocol=http;AccountName=devstoreaccount1;AccountKey=" + kKey +
                                   ";BlobEndpoint=http://127.0.0.1:10000/devstoreaccount1;"
                                   "TableEndpoint=http://127.0.0.1:10002/devstoreaccount1/;");
    EXPECT_EQ(explicitEndpoint.tableEndpoint, "http://127.0.0.1:10002/devstoreaccount1");
}

TEST(ConnectionString, DevelopmentStorage) {
    auto dev = parsed("UseDevelopmentStorage=true");
    EXPECT_TRUE(dev.developmentStorage);
    EXPECT_EQ(dev.accountName, "devstoreaccount1");
    EXPECT_EQ(dev.accountKey, platform::http::kDevelopmentAccountKey);
    EXPECT_EQ(dev.tableEndpoint, "http://127.0.0.1:10002/devstoreaccount1");
    EXPECT_EQ(parsed("UseDevelopmentStorage=True;DevelopmentStorageProxyUri=http://myproxy:8080/").tableEndpoint,
              "http://myproxy:10002/devstoreaccount1");
    refused("UseDevelopmentStorage=false");
    refused("UseDevelopmentStorage=true;AccountName=x");
    refused("UseDevelopmentStorage=true;DevelopmentStorageProxyUri=ftp://x");
}

TEST(ConnectionString, MalformedInputGetsAClearErrorThatNeverQuotesTheKey) {
    EXPECT_NE(refused("").find("empty"), std::string::npos);
    EXPECT_NE(refused(" ; ;").find("empty"), std::string::npos);
    EXPECT_NE(refused("AccountKey=" + kKey).find("no AccountName"), std::string::npos);
    EXPECT_NE(refused("AccountName=a1").find("no AccountKey"), std::string::npos);
    EXPECT_NE(refused("AccountName=a1;AccountKey=").find("no AccountKey"), std::string::npos);
    std::string badKey = refused("AccountName=a1;AccountKey=s3cr3t!!");
    EXPECT_NE(badKey.find("not valid base64"), std::string::npos);
    EXPECT_EQ(badKey.find("s3cr3t"), std::string::npos);
    std::string noEquals = refused("AccountName=a1;AccountKey" + kKey.substr(0, 8) + ";x=1");
    EXPECT_NE(noEquals.find("part 2"), std::string::npos);
    EXPECT_EQ(noEquals.find(kKey.substr(0, 8)), std::string::npos);
    EXPECT_EQ(refused("AccountName=a1;" + kKey).find(kKey), std::string::npos);
    EXPECT_NE(refused("AccountName=a1;AccountName=a2;AccountKey=" + kKey).find("more than once"), std::string::npos);
    EXPECT_NE(refused("AccountName=a1;AccountKey=" + kKey + ";DefaultEndpointsProtocol=ftp").find("http or https"),
              std::string::npos);
    EXPECT_NE(refused("AccountName=a1;AccountKey=" + kKey + ";TableEndpoint=127.0.0.1:10002").find("TableEndpoint"),
              std::string::npos);
    refused("AccountName=a1;AccountKey=" + kKey + ";TableEndpoint=https://h/x?sig=abc");
    refused("AccountName=a/b;AccountKey=" + kKey);
    refused("AccountName=a1;AccountKey=" + kKey + ";EndpointSuffix=evil.com/x");
    EXPECT_NE(refused("AccountName=a1;SharedAccessSignature=sv=2020&sig=x").find("not supported"), std::string::npos);
}
