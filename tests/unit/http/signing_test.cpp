#include <gtest/gtest.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>

#include <cstdio>
#include <fstream>
#include <sstream>

#include "tests/support/FakeSleeper.h"
#include "tests/support/FakeTransport.h"
#include "platform/http/AzureTableRequestService.h"
#include "platform/http/SharedKey.h"
#include "platform/http/UrlEncoding.h"
#include "platform/log/DebugLog.h"

using namespace platform::http;

namespace {

const char* const kKey = "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
const std::time_t kNov1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT

// An implementation of HMAC-SHA256 + base64 that shares nothing with the product's.
std::string referenceSignature(const std::string& base64Key, const std::string& stringToSign) {
    unsigned char key[128];
    int keyLength = EVP_DecodeBlock(key, reinterpret_cast<const unsigned char*>(base64Key.data()),
                                    static_cast<int>(base64Key.size()));
    size_t padding = base64Key.size() - base64Key.find_last_not_of('=') - 1;
    unsigned char digest[32];
    unsigned int digestLength = 0;
    HMAC(EVP_sha256(), key, keyLength - static_cast<int>(padding),
         reinterpret_cast<const unsigned char*>(stringToSign.data()), stringToSign.size(), digest, &digestLength);
    unsigned char encoded[64];
    int encodedLength = EVP_EncodeBlock(encoded, digest, static_cast<int>(digestLength));
    return std::string(reinterpret_cast<char*>(encoded), encodedLength);
}

std::string hex(const std::string& bytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (unsigned char c : bytes) {
        out += digits[c >> 4];
        out += digits[c & 15];
    }
    return out;
}

AzureTableSigningInfo emulatorSigning() {
    AzureTableSigningInfo signing;
    signing.accountName = "devstoreaccount1";
    signing.accessKey = kKey;
    signing.pathStyle = true;
    return signing;
}

}  // namespace

TEST(SharedKey, Base64RoundTripsAndRejectsMalformedText) {
    std::string bytes;
    for (const char* text : {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYmFy", "+/+/"}) {
        ASSERT_TRUE(base64Decode(text, bytes)) << text;
        EXPECT_EQ(base64Encode(bytes), text);
    }
    ASSERT_TRUE(base64Decode("Zm9vYg==", bytes));
    EXPECT_EQ(bytes, "foob");
    for (const char* bad : {"Zm9", "Zm9v!", "Z===", "Zg==Zg==", "Zm=v", "not base64 at all"})
        EXPECT_FALSE(base64Decode(bad, bytes)) << bad;
}

TEST(SharedKey, HmacMatchesRfc4231TestCase2) {
    EXPECT_EQ(hex(hmacSha256("Jefe", "what do ya want for nothing?")),
              "5bdcc146bf60754e6a042426089575c75a003f089d2739839dec58b964ec3843");
}

TEST(SharedKey, CanonicalizedResourceUsesTheEncodedPathAndOnlyComp) {
    // Path-style (emulator) URLs carry the account in the path, so it appears twice.
    EXPECT_EQ(canonicalizedResource("devstoreaccount1", "http://127.0.0.1:10002/devstoreaccount1/Tables"),
              "/devstoreaccount1/devstoreaccount1/Tables");
    EXPECT_EQ(canonicalizedResource("acct", "https://acct.table.core.windows.net/t()?NextPartitionKey=a%2Bb&$filter=x"),
              "/acct/t()");
    EXPECT_EQ(canonicalizedResource("acct", "https://acct.table.core.windows.net/t1?Comp=acl&x=1"),
              "/acct/t1?comp=acl");
    EXPECT_EQ(canonicalizedResource("acct", "https://acct.table.core.windows.net?comp=properties"),
              "/acct/?comp=properties");
    EXPECT_EQ(canonicalizedResource("acct", "https://acct.table.core.windows.net/t(PartitionKey='a%20b',RowKey='1')"),
              "/acct/t(PartitionKey='a%20b',RowKey='1')");
}

TEST(SharedKey, SignsWithAFreshDateAndTheTableStringToSign) {
    std::map<std::string, std::string> headers{{"x-ms-version", "2019-02-02"}, {"authorization", "stale"}};
    ASSERT_TRUE(signRequest(headers, "GET", "http://127.0.0.1:10002/devstoreaccount1/Tables", emulatorSigning(),
                            kNov1994));
    EXPECT_EQ(headers["x-ms-date"], "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(headers["Date"], "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(headers.count("authorization"), 0u);
    // Known answer, computed outside this code base.
    EXPECT_EQ(headers["Authorization"], "SharedKey devstoreaccount1:on2YE3RDKhN+6hC1Zsw5vqsRcA4G+m9/+Xf3bksaVyo=");
    EXPECT_EQ(headers["Authorization"],
              "SharedKey devstoreaccount1:" +
                  referenceSignature(kKey, "GET\n\n\nSun, 06 Nov 1994 08:49:37 GMT\n"
                                           "/devstoreaccount1/devstoreaccount1/Tables"));

    AzureTableSigningInfo service{"myaccount", kKey, false};
    std::map<std::string, std::string> post{{"Content-Type", "application/json"}};
    ASSERT_TRUE(signRequest(post, "POST", "https://myaccount.table.core.windows.net/Tables", service, kNov1994));
    EXPECT_EQ(post["Authorization"], "SharedKey myaccount:5m1H65TBJB42zRIP7vA5D+weKdP05PFWho7eRL3vQhA=");
    EXPECT_EQ(post["Authorization"],
              "SharedKey myaccount:" + referenceSignature(kKey, "POST\n\napplication/json\nSun, 06 Nov 1994 "
                                                                "08:49:37 GMT\n/myaccount/Tables"));
}

TEST(SharedKey, LiteStringToSignIsDateAndResource) {
    std::string toSign =
        sharedKeyLiteStringToSign(rfc1123Date(kNov1994), "/devstoreaccount1/devstoreaccount1/Tables");
    std::string key;
    ASSERT_TRUE(base64Decode(kKey, key));
    EXPECT_EQ(base64Encode(hmacSha256(key, toSign)), "OwsQX/J8VccMKATXAaJHGqUL7z5OemAKHbi9SIbZ46g=");
}

TEST(SharedKey, NoKeyMeansNoAuthorizationAndABadKeyIsRefusedWithoutQuotingIt) {
    AzureTableSigningInfo anonymous{"acct", "", false};
    std::map<std::string, std::string> headers{{"Authorization", "x"}};
    ASSERT_TRUE(signRequest(headers, "GET", "https://acct.table.core.windows.net/Tables", anonymous, kNov1994));
    EXPECT_EQ(headers.count("Authorization"), 0u);
    EXPECT_EQ(headers["x-ms-date"], "Sun, 06 Nov 1994 08:49:37 GMT");

    AzureTableSigningInfo broken{"acct", "not*base64*key", false};
    std::string error;
    std::map<std::string, std::string> untouched{{"a", "b"}};
    EXPECT_FALSE(signRequest(untouched, "GET", "https://acct.table.core.windows.net/Tables", broken, kNov1994, &error));
    EXPECT_EQ(untouched.size(), 1u);
    EXPECT_NE(error.find("not valid base64"), std::string::npos);
    EXPECT_EQ(error.find("not*base64*key"), std::string::npos);
}

TEST(UrlEncoding, OnlyIllegalCharactersAreEncoded) {
    EXPECT_EQ(encodeIllegalUrlCharacters("http://h/t(PartitionKey='a b',RowKey='\xc3\xa9')?NextPartitionKey=x%2By"),
              "http://h/t(PartitionKey='a%20b',RowKey='%C3%A9')?NextPartitionKey=x%2By");
    EXPECT_EQ(encodeIllegalUrlCharacters("http://h/a\"b<c>{|}^`\\#\x01\x7f"),
              "http://h/a%22b%3Cc%3E%7B%7C%7D%5E%60%5C%23%01%7F");
    // A '%' that starts no escape is itself encoded; applying the function twice changes nothing.
    EXPECT_EQ(encodeIllegalUrlCharacters("http://h/100%?x=%zz&y=%4"), "http://h/100%25?x=%25zz&y=%254");
    std::string once = encodeIllegalUrlCharacters("http://h/a b%/\xff");
    EXPECT_EQ(encodeIllegalUrlCharacters(once), once);
    EXPECT_EQ(percentEncode("a+b/c=d e~_.-"), "a%2Bb%2Fc%3Dd%20e~_.-");
    EXPECT_EQ(percentDecode("a%2Bb%2fc%3D%zz%"), "a+b/c=%zz%");
}

TEST(SharedKey, EveryAttemptIsSignedOverTheUrlAsSentWithoutSecretsInTheLog) {
    testing_support::FakeTransportScope transport;
    testing_support::FakeSleeperScope sleeper;
    transport->reply(503);
    transport->reply(200, "{}");
    AzureTableRequestService service;
    AzureTableRequest request;
    request.method = "GET";
    request.baseUrl = "http://127.0.0.1:10002/devstoreaccount1/";
    request.path = "t(PartitionKey='a b',RowKey='1')";
    request.signing = emulatorSigning();
    request.headers["Authorization"] = "removed before sending";
    AzureTableResponse response = service.executeRequest(request, 5, 1000);
    ASSERT_EQ(response.status, 200);
    ASSERT_EQ(transport->requestCount(), 2u);
    for (const auto& sent : transport->requests()) {
        EXPECT_EQ(sent.url, "http://127.0.0.1:10002/devstoreaccount1/t(PartitionKey='a%20b',RowKey='1')");
        std::string date = sent.headers.at("x-ms-date");
        EXPECT_EQ(sent.headers.at("Date"), date);
        EXPECT_EQ(sent.headers.at("Authorization"),
                  "SharedKey devstoreaccount1:" +
                      referenceSignature(kKey, "GET\n\n\n" + date +
                                                   "\n/devstoreaccount1/devstoreaccount1/t(PartitionKey='a%20b',"
                                                   "RowKey='1')"));
    }
    // The caller's request keeps its own headers; signing touched only what was sent.
    EXPECT_EQ(request.headers["Authorization"], "removed before sending");
    EXPECT_EQ(platform::log::redact(std::string("key ") + kKey), "key ***");
}

TEST(SharedKey, TheDebugLogShowsEveryExchangeButNoSecret) {
    std::string path = ::testing::TempDir() + "/transport-debug.log";
    std::remove(path.c_str());
    platform::log::setDebugLogFile(path);
    {
        testing_support::FakeTransportScope transport;
        testing_support::FakeSleeperScope sleeper;
        transport->reply(503, "{\"odata.error\":{\"code\":\"ServerBusy\"}}");
        transport->reply(403, "{\"odata.error\":{\"code\":\"AuthenticationFailed\"}}");
        AzureTableRequestService service;
        AzureTableRequest request;
        request.method = "GET";
        request.baseUrl = "https://acct.table.core.windows.net/";
        request.path = "Tables";
        request.signing = {"acct", "c2VjcmV0LWtleS1mb3ItbG9n", false};
        service.executeRequest(request, 5, 1000);
        std::string authorization = transport->request(0).headers.at("Authorization");
        platform::log::setDebugLogFile("");
        std::ifstream in(path);
        std::stringstream content;
        content << in.rdbuf();
        std::string log = content.str();
        EXPECT_NE(log.find("GET https://acct.table.core.windows.net/Tables -> 503"), std::string::npos) << log;
        EXPECT_EQ(log.find("c2VjcmV0LWtleS1mb3ItbG9n"), std::string::npos) << log;
        EXPECT_EQ(log.find(authorization.substr(authorization.find(':') + 1)), std::string::npos) << log;
    }
}
