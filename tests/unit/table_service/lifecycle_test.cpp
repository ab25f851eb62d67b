#include <cstring>
#include <memory>

#include "ClientFixture.h"

using namespace table_service_test;
using testing_support::FakeTransport;

namespace {

const char* const kNotFound = "{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"value\":\"gone\"}}}";
const char* const kBeingDeleted = "{\"odata.error\":{\"code\":\"TableBeingDeleted\"}}";

void answerAlways(FakeTransport& transport, int status, const std::string& body) {
    transport.setResponder([status, body](const platform::http::HttpExchange&) {
        platform::http::HttpReply reply;
        reply.status = status;
        reply.body = body;
        return reply;
    });
}

}  // namespace

// The kind comes from the reply's error code (header first, then the body's code), never from
// words elsewhere in the body.
TEST(ErrorClassification, TheErrorCodeAloneDecidesTheKind) {
    struct Case {
        const char* header;  // x-ms-error-code, "" for none
        std::string body;
        int kind;
    } cases[] = {
        {"", "", Failed},
        {"", "{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"value\":\"gone\"}}}", ResourceNotFound},
        {"", "{\"odata.error\":{\"code\":\"TableBeingDeleted\"}}", BeingDeleted},
        {"", "{\"odata.error\":{\"code\":\"ResourceInUse\"}}", ResourceInUse},
        {"", "{\"odata.error\":{\"code\":\"com.example#ThrottlingException\"}}", Throttled},
        // A message that merely mentions another code.
        {"", "{\"odata.error\":{\"code\":\"InvalidInput\",\"message\":{\"value\":\"not a ResourceNotFound\"}}}", Failed},
        {"", "{\"odata.error\":{\"code\":\"TableNotFound\",\"message\":{\"value\":\"BeingDeleted? #ThrottlingException\"}}}", Failed},
        {"", "{\"odata.error\":{\"code\":\"resourcenotfound\"}}", Failed},  // case-sensitive
        {"", "{\"odata.error\":{\"code\":\"ServerBusy\"}}", Failed},
        {"", "ResourceNotFound", Failed},  // no error body at all
        {"", "{\"error\":{\"code\":\"ResourceNotFound\"}}", Failed},
        // XML error bodies.
        {"", "<?xml version=\"1.0\" encoding=\"utf-8\"?><Error><Code>TableBeingDeleted</Code><Message>wait</Message></Error>", BeingDeleted},
        {"", "<?xml version=\"1.0\"?><Error><Code>AuthorizationFailure</Code><Message>ResourceNotFound</Message></Error>", Failed},
        // The header alone, and the header over the body.
        {"ResourceNotFound", "", ResourceNotFound},
        {"TableBeingDeleted", "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}", BeingDeleted},
        {"InvalidInput", "{\"odata.error\":{\"code\":\"ResourceNotFound\"}}", Failed},
    };
    for (const auto& c : cases) {
        AzureTableResponse reply;
        reply.status = 404;
        reply.body = c.body;
        if (*c.header) reply.headers["x-ms-error-code"] = c.header;
        EXPECT_EQ(classifyAzureTableError(reply), c.kind) << c.header << " | " << c.body;
        AzureTableOutcome<bool> outcome(reply);
        EXPECT_EQ(outcome.errorKind, c.kind);
        EXPECT_EQ(outcome.errorMessage, c.body);
        EXPECT_FALSE(outcome.result);
        if (!*c.header) {
            EXPECT_EQ(classifyAzureTableError(c.body), c.kind) << c.body;
        }
    }
}

TEST(ErrorSummary, OneLineFromEveryKindOfBodyWithoutSecrets) {
    const std::string signature = "Xq3vT0pS1gN+aTuRe/VaLuE2Vc4Qm5bJ0Lp9wY8zK1E=";
    struct Case {
        std::string body;
        std::string summary;
    } cases[] = {
        {"{\"odata.error\":{\"code\":\"TableNotFound\",\"message\":{\"lang\":\"en-US\",\"value\":\"gone\\nRequestId:1\"}}}",
         "TableNotFound: gone"},
        {"<?xml version=\"1.0\"?><Error><Code>AuthenticationFailed</Code><Message>no\nmore</Message></Error>",
         "AuthenticationFailed: no"},
        {"{\"odata.error\":{\"message\":{\"value\":\"The MAC signature found in the HTTP request '" + signature + "' is not the same\"}}}",
         ""},  // masked by the log's redaction
        {"plain\ntext", "plain text"},
        {"", "no reply body"},
    };
    for (const auto& c : cases) {
        std::string summary = table_service::summarizeErrorBody(c.body);
        EXPECT_EQ(summary.find("Xq3vT0pS1gN"), std::string::npos) << summary;
        if (c.body.find(signature) == std::string::npos) {
            EXPECT_EQ(summary, c.summary);
        }
    }
}

// Through the client: the header of a real reply is read (queryEntities returns the kind).
TEST_F(ClientTest, OperationsReadTheErrorCodeHeader) {
    transport->reply(409, "", {{"x-ms-error-code", "TableBeingDeleted"}});
    transport->reply(404, "{\"odata.error\":{\"code\":\"InvalidInput\",\"message\":{\"value\":\"ResourceNotFound\"}}}");
    EmptyCheckerOutput output(&env);
    AzureTableContinuationToken token;
    EXPECT_EQ(client.queryEntities("t", token, &output, token, 0, 0), BeingDeleted);
    EXPECT_EQ(client.deleteTable("t").errorKind, Failed);
}

// Only a 200 naming a table is a description (a backup would save {"table":null}): a cut or
// non-JSON body is retried by the transport and then fails.
TEST_F(ClientTest, DescribeAcceptsOnlyA200ThatNamesTheTable) {
    transport->reply(200, "{\"odata.metadata\":\"m\",\"TableName\":\"orders\"}");
    auto outcome = client.describeTable("orders");
    ASSERT_EQ(outcome.errorKind, 0);
    EXPECT_EQ(outcome.result->toDescriptionJson(), "{\"table\":{\"odata.metadata\":\"m\",\"TableName\":\"orders\"}}");
    EXPECT_EQ(transport->request(0).method + " " + transport->request(0).url, "GET " + std::string(kBase) + "Tables('orders')");
    const struct {
        int status;
        const char* body;
        int kind;
        const char* words;
    } cases[] = {
        {204, "", Failed, ""},
        {404, kNotFound, ResourceNotFound, kNotFound},
        {200, "not json", Failed, "not valid JSON"},
        {200, "{\"odata.metadata\":\"m\",\"TableNa", Failed, "not valid JSON"},
        {200, "{\"TableName\":7}", Failed, "holds no TableName"},
    };
    for (const auto& c : cases) {
        answerAlways(*transport, c.status, c.body);
        auto failed = client.describeTable("t");
        EXPECT_EQ(failed.errorKind, c.kind) << c.body;
        EXPECT_FALSE(failed.result) << c.body;
        EXPECT_NE(failed.errorMessage.find(c.words), std::string::npos) << failed.errorMessage;
    }
}

// A create or delete whose first attempt may have been carried out (its reply was lost) and
// whose retry is told "already exists" / "not found" has succeeded; a first answer stays a failure.
TEST_F(ClientTest, RetriedCreateAndDeleteTakeTheirOwnEarlierEffectAsSuccess) {
    const std::string exists = "{\"odata.error\":{\"code\":\"TableAlreadyExists\"}}";
    struct Case {
        bool create;
        std::vector<int> statuses;  // 0: the connection dropped, 1: the host refused it
        bool succeeds;
    } cases[] = {
        {true, {0, 409}, true},    {true, {503, 409}, true},  {true, {500, 409}, true},
        {true, {409}, false},      {true, {1, 409}, false},   {true, {429, 409}, false},
        {false, {0, 404}, true},   {false, {500, 404}, true}, {false, {404}, false},
        {false, {1, 404}, false},
    };
    for (const auto& c : cases) {
        for (int status : c.statuses) {
            if (status == 0) {
                transport->fail("Recv failure: Connection reset by peer");
            } else if (status == 1) {
                transport->fail("Failed to connect to 127.0.0.1 port 10002: Connection refused",
                                platform::http::HttpReply::Failure::Unreachable);
            } else {
                transport->reply(status, status == 409 ? exists : status == 404 ? kNotFound : "{}");
            }
        }
        if (c.create) {
            auto outcome = client.createTable("{\"TableName\":\"fresh\"}");
            EXPECT_EQ(outcome.errorKind == 0, c.succeeds) << c.statuses.size() << " " << c.statuses.front();
            if (c.succeeds) {
                EXPECT_EQ(outcome.result->tableName, "fresh");
            } else {
                EXPECT_NE(outcome.errorMessage.find("TableAlreadyExists"), std::string::npos);
            }
        } else {
            auto outcome = client.deleteTable("t");
            EXPECT_EQ(outcome.errorKind == 0, c.succeeds) << c.statuses.size() << " " << c.statuses.front();
            if (!c.succeeds) {
                EXPECT_EQ(outcome.errorKind, ResourceNotFound);
            }
        }
    }
}

TEST_F(ClientTest, CreateRetriesWhileTheOldTableIsBeingDeleted) {
    for (int i = 0; i < 3; ++i) transport->reply(409, kBeingDeleted);
    transport->reply(201, "{\"TableName\":\"fresh\"}");
    const std::string payload = "{\"TableName\":\"fresh\"}";

    auto outcome = client.createTable(payload);
    ASSERT_EQ(outcome.errorKind, 0);
    EXPECT_EQ(outcome.result->tableName, "fresh");
    EXPECT_EQ(sleeper->sleeps(), (std::vector<unsigned long long>{5000, 5000, 5000}));
    EXPECT_EQ(messages("createTable"), (std::vector<std::string>{"CreateTable payload: " + payload,
                                                                 "Table is still being deleted. Retrying",
                                                                 "Table is still being deleted. Retrying",
                                                                 "Table is still being deleted. Retrying"}));
    ASSERT_EQ(transport->requestCount(), 4u);
    for (const auto& request : transport->requests()) {
        EXPECT_EQ(request.method, "POST");
        EXPECT_EQ(request.url, std::string(kBase) + "Tables");
        EXPECT_EQ(request.body, payload);
    }
}

// Only the status each operation expects counts: a 204 is no create, a 200 no delete; throttling
// is returned at once.
TEST_F(ClientTest, CreateAndDeleteAcceptOnlyTheirOwnSuccess) {
    transport->reply(409, "{\"odata.error\":{\"code\":\"#ThrottlingException\"}}");
    transport->reply(204, "");
    transport->reply(204, "");
    transport->reply(200, "{}");
    EXPECT_EQ(client.createTable("{\"TableName\":\"t\"}").errorKind, Throttled);
    EXPECT_EQ(client.createTable("{\"TableName\":\"t\"}").errorKind, Failed);
    auto deleted = client.deleteTable("t");
    ASSERT_EQ(deleted.errorKind, 0);
    EXPECT_EQ(transport->request(2).method + " " + transport->request(2).url, "DELETE " + std::string(kBase) + "Tables('t')");
    EXPECT_EQ(client.deleteTable("t").errorKind, Failed);
    EXPECT_TRUE(sleeper->sleeps().empty());
}

// The waits poll every 2 s (active) or 40 s (deleted) until the timeout, keep waiting through
// other failures, and stop at once when the first answer settles them.
TEST_F(ClientTest, WaitsPollUntilSettledOrTimedOut) {
    using Sleeps = std::vector<unsigned long long>;
    const struct {
        bool active;
        std::vector<std::pair<int, const char*>> replies;  // then the last one forever
        unsigned long long timeoutMs;
        bool settles;
        Sleeps sleeps;
    } cases[] = {
        {true, {{404, kNotFound}}, 120000, false, Sleeps(61, 2000)},
        {false, {{200, "{\"TableName\":\"t\"}"}}, 120000, false, Sleeps(4, 40000)},
        {true, {{409, kBeingDeleted}}, 0, false, Sleeps{2000}},
        {false, {{409, kBeingDeleted}}, 0, false, Sleeps{40000}},
        {true, {{200, "{\"TableName\":\"t\"}"}}, 120000, true, Sleeps{}},
        {false, {{404, kNotFound}}, 120000, true, Sleeps{}},
        {false, {{409, "{\"odata.error\":{\"code\":\"#ThrottlingException\"}}"}, {200, "{\"TableName\":\"t\"}"}, {404, kNotFound}}, 120000,
         true, Sleeps{40000, 40000}},
    };
    for (const auto& c : cases) {
        const size_t before = sleeper->sleeps().size();
        for (size_t i = 0; i + 1 < c.replies.size(); ++i) transport->reply(c.replies[i].first, c.replies[i].second);
        answerAlways(*transport, c.replies.back().first, c.replies.back().second);
        EXPECT_EQ(c.active ? client.waitForActiveTable("t", c.timeoutMs) : client.waitForDeletedTable("t", c.timeoutMs),
                  c.settles);
        auto sleeps = sleeper->sleeps();
        EXPECT_EQ(Sleeps(sleeps.begin() + before, sleeps.end()), c.sleeps) << c.active << " " << c.replies.back().first;
    }
}

// A stop ends the create that waits for an old table to go and both waits at once; nothing more
// is sent after it.
TEST_F(ClientTest, AStopEndsTheCreateRetriesAndTheWaits) {
    testing_support::StopTokenScope stop;
    answerAlways(*transport, 409, kBeingDeleted);
    sleeper->onSleep([&](size_t count) {
        if (count == 3) stop.requestStop();
    });
    auto created = client.createTable("{\"TableName\":\"t\"}");
    EXPECT_EQ(created.errorKind, Failed);
    EXPECT_NE(created.errorMessage.find("OperationCancelled"), std::string::npos) << created.errorMessage;
    EXPECT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(sleeper->sleeps().size(), 3u);

    transport->clearRequests();
    EXPECT_FALSE(client.waitForActiveTable("t", 120000));
    EXPECT_FALSE(client.waitForDeletedTable("t", 120000));
    EXPECT_EQ(transport->requestCount(), 0u);
    EXPECT_EQ(sleeper->sleeps().size(), 3u);
    EXPECT_EQ(messages("waitForActiveTable").back(), "waitForActiveTable stopped on request");
    EXPECT_EQ(messages("waitForDeletedTable").back(), "waitForDeletedTable stopped on request");
}

TEST_F(ClientTest, ServiceTimeIsTheDateOfTheLatestReply) {
    EXPECT_EQ(client.serviceTime(), 0);
    transport->reply(200, "{\"TableName\":\"t\"}", {{"Date", "Sun, 06 Dec 2026 11:11:21 GMT"}});
    transport->reply(404, kNotFound);  // no Date: the last one known stays
    client.describeTable("t");
    client.describeTable("t");
    EXPECT_EQ(client.serviceTime(), 1796555481);
}

TEST(AzureTableDescription, CreationPayloadNamesTheTable) {
    rapidjson::Document reply;
    reply.Parse("{\"odata.metadata\":\"x\",\"TableName\":\"own\"}");
    AzureTableDescription description(reply);
    EXPECT_EQ(description.createTableRequest(""), "{\"TableName\":\"own\"}");
    EXPECT_EQ(description.createTableRequest("other"), "{\"TableName\":\"other\"}");
    EXPECT_EQ(description.createTableRequest("a\"b\\c\n\xC3\xA9"), "{\"TableName\":\"a\\\"b\\\\c\\n\xC3\xA9\"}");

    rapidjson::Document nameless;
    nameless.Parse("{\"x\":1}");
    EXPECT_EQ(AzureTableDescription(nameless).createTableRequest(""), "{\"TableName\":\"\"}");
}

TEST(AzureTableDescription, CopiesShareNoMemoryWithTheirSource) {
    // Constant strings in a value are only referenced by a plain rapidjson copy.
    std::string name = "orders";
    std::string key = "TableName";
    rapidjson::Document source;
    source.SetObject();
    source.AddMember(rapidjson::StringRef(key.c_str()), rapidjson::StringRef(name.c_str()), source.GetAllocator());

    auto original = std::make_unique<AzureTableDescription>(source);
    std::memset(&name[0], 'X', name.size());
    std::memset(&key[0], 'Y', key.size());
    EXPECT_EQ(original->toDescriptionJson(), "{\"table\":{\"TableName\":\"orders\"}}");

    AzureTableDescription copy(*original);
    original.reset();
    EXPECT_EQ(copy.tableName, "orders");
    EXPECT_EQ(copy.toDescriptionJson(), "{\"table\":{\"TableName\":\"orders\"}}");
}

TEST(AzureTableDescription, DescriptionJsonKeepsMemberOrderAndNumbers) {
    rapidjson::Document reply;
    reply.Parse<rapidjson::kParseFullPrecisionFlag>("{ \"odata.metadata\" : \"m\", \"TableName\":\"t\", \"n\": 2.0 }");
    AzureTableDescription description(reply);
    EXPECT_EQ(description.toDescriptionJson(), "{\"table\":{\"odata.metadata\":\"m\",\"TableName\":\"t\",\"n\":2.0}}");
}
