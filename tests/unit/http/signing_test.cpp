#include <gtest/gtest.h>

#include "platform/http/SharedKey.h"
#include "platform/http/UrlEncoding.h"

using namespace platform::http;

namespace {

const char* const kKey = "Eby8vdM02xNOcqFlqUwJPLlmEtlCDXJ1OUzFT50uSRZ6IFsuFq2UVErCz4I6tq/K1SZFPTOtr/KBHBeksoGMGw==";
const std::time_t kNov1994 = 784111777;  // Sun, 06 Nov 1994 08:49:37 GMT
const AzureTableSigningInfo kEmulator{"devstoreaccount1", kKey, true};

}  // namespace

TEST(SharedKey, Base64RoundTripsAndRejectsMalformedText) {
    std::string bytes;
    for (const char* text : {"", "Zg==", "Zm8=", "Zm9v", "Zm9vYmFy", "+/+/"}) {
        ASSERT_TRUE(base64Decode(text, bytes)) << text;
        EXPECT_EQ(base64Encode(bytes), text);
    }
    ASSERT_TRUE(base64Decode("Zm9vYg==", bytes));
    EXPECT_EQ(bytes, "foob");
    for (const char* bad : {"Zm9", "Zm9v!", "Z===", "Zg==Zg==", "Zm=v", "not base64"})
        EXPECT_FALSE(base64Decode(bad, bytes)) << bad;
}

TEST(SharedKey, KnownAnswers) {
    // RFC 4231 test case 2.
    EXPECT_EQ(base64Encode(hmacSha256("Jefe", "what do ya want for nothing?")), "W9zBRr9gdU5qBCQmCJV1x1oAPwidJzmDnexYuWTsOEM=");
    std::map<std::string, std::string> get{{"x-ms-version", "2019-02-02"}, {"authorization", "stale"}};
    ASSERT_TRUE(signRequest(get, "GET", "http://127.0.0.1:10002/devstoreaccount1/Tables", kEmulator, kNov1994));
    EXPECT_EQ(get["x-ms-date"], "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(get["Date"], "Sun, 06 Nov 1994 08:49:37 GMT");
    EXPECT_EQ(get.count("authorization"), 0u);
    // Computed outside this code base.
    EXPECT_EQ(get["Authorization"], "SharedKey devstoreaccount1:on2YE3RDKhN+6hC1Zsw5vqsRcA4G+m9/+Xf3bksaVyo=");
    std::map<std::string, std::string> post{{"Content-Type", "application/json"}};
    const std::string url = "https://myaccount.table.core.windows.net/Tables";
    ASSERT_TRUE(signRequest(post, "POST", url, {"myaccount", kKey, false}, kNov1994));
    EXPECT_EQ(post["Authorization"], "SharedKey myaccount:5m1H65TBJB42zRIP7vA5D+weKdP05PFWho7eRL3vQhA=");
    EXPECT_EQ(sharedKeyLiteStringToSign(rfc1123Date(kNov1994), "/acct/Tables"), "Sun, 06 Nov 1994 08:49:37 GMT\n/acct/Tables");

    // Without a key nothing is signed, but the date is still set.
    std::map<std::string, std::string> anonymous{{"Authorization", "x"}};
    ASSERT_TRUE(signRequest(anonymous, "GET", "https://acct.table.core.windows.net/Tables", {"acct", "", false}, kNov1994));
    EXPECT_EQ(anonymous.count("Authorization"), 0u);
    EXPECT_EQ(anonymous["x-ms-date"], "Sun, 06 Nov 1994 08:49:37 GMT");
}

// A transport's signer keeps its key between requests and signs exactly as signRequest does,
// through key changes, requests without a key and keys that are not base64.
TEST(SharedKey, TheSignerAgreesWithSignRequest) {
    const struct {
        const char* method;
        const char* url;
        AzureTableSigningInfo signing;
    } cases[] = {
        {"GET", "http://127.0.0.1:10002/devstoreaccount1/Tables", kEmulator},
        {"POST", "http://127.0.0.1:10002/devstoreaccount1/$batch", kEmulator},
        {"POST", "https://myaccount.table.core.windows.net/Tables", {"myaccount", kKey, false}},
        {"GET", "https://acct.table.core.windows.net/Tables", {"acct", "", false}},
        {"PUT", "https://acct.table.core.windows.net/t(PartitionKey='a',RowKey='b')", {"acct", "YmVuY2g=", false}},
        {"GET", "https://acct.table.core.windows.net/Tables", {"acct", "not base64", false}},
        {"GET", "http://127.0.0.1:10002/devstoreaccount1/Tables", kEmulator},
    };
    SharedKeySigner signer;
    for (int round = 0; round < 2; ++round) {
        for (const auto& c : cases) {
            std::map<std::string, std::string> expected{{"Content-Type", "application/json"}, {"Authorization", "x"}};
            std::map<std::string, std::string> signedHeaders = expected;
            std::string expectedError, error;
            const bool ok = signRequest(expected, c.method, c.url, c.signing, kNov1994 + round, &expectedError);
            EXPECT_EQ(signer.sign(signedHeaders, c.method, c.url, c.signing, kNov1994 + round, &error), ok) << c.url;
            EXPECT_EQ(signedHeaders, expected) << c.url;
            EXPECT_EQ(error, expectedError);
        }
    }
}

// Path-style (emulator) URLs carry the account in the path, so it appears twice; of the query
// only "comp" counts.
TEST(SharedKey, CanonicalizedResourceUsesTheEncodedPathAndOnlyComp) {
    const std::pair<const char*, const char*> cases[] = {
        {"https://acct.table.core.windows.net/t()?NextPartitionKey=a%2Bb&$filter=x", "/acct/t()"},
        {"https://acct.table.core.windows.net/t1?Comp=acl&x=1", "/acct/t1?comp=acl"},
        {"https://acct.table.core.windows.net?comp=properties", "/acct/?comp=properties"},
        {"https://acct.table.core.windows.net/t(PartitionKey='a%20b',RowKey='1')", "/acct/t(PartitionKey='a%20b',RowKey='1')"},
    };
    for (const auto& c : cases) EXPECT_EQ(canonicalizedResource("acct", c.first), c.second);
    EXPECT_EQ(canonicalizedResource("devstoreaccount1", "http://127.0.0.1:10002/devstoreaccount1/Tables"),
              "/devstoreaccount1/devstoreaccount1/Tables");
}

TEST(UrlEncoding, OnlyIllegalCharactersAreEncoded) {
    EXPECT_EQ(encodeIllegalUrlCharacters("http://h/t(PartitionKey='a b',RowKey='\xc3\xa9')?NextPartitionKey=x%2By"),
              "http://h/t(PartitionKey='a%20b',RowKey='%C3%A9')?NextPartitionKey=x%2By");
    EXPECT_EQ(encodeIllegalUrlCharacters("http://h/a\"b<c>{|}^`\\#\x01\x7f"), "http://h/a%22b%3Cc%3E%7B%7C%7D%5E%60%5C%23%01%7F");
    // A '%' that starts no escape is itself encoded; applying the function twice changes nothing.
    EXPECT_EQ(encodeIllegalUrlCharacters("http://h/100%?x=%zz&y=%4"), "http://h/100%25?x=%25zz&y=%254");
    std::string once = encodeIllegalUrlCharacters("http://h/a b%/\xff");
    EXPECT_EQ(encodeIllegalUrlCharacters(once), once);
    EXPECT_EQ(percentEncode(std::string("AZaz09-._~ !'()*+/=\x00\xC3\xA9", 22)),
              "AZaz09-._~%20%21%27%28%29%2A%2B%2F%3D%00%C3%A9");
    EXPECT_EQ(percentDecode("a%2Bb%2fc%3D%zz%"), "a+b/c=%zz%");
}
