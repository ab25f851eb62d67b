#include <memory>

#include "ClientFixture.h"

using namespace table_service_test;

namespace {
const std::string kNotFound = "{\"odata.error\":{\"code\":\"ResourceNotFound\",\"message\":{\"value\":\"gone\"}}}";
const std::string kBeingDeleted = errorBody("TableBeingDeleted"), kThrottled = errorBody("#ThrottlingException");
}  // namespace

// The kind comes from the reply's error code (header first, then the body's code, JSON or XML),
// never from words elsewhere in the body. The plain codes are in the client tests below.
TEST(ErrorClassification, TheErrorCodeAloneDecidesTheKind) {
    const std::string xml = "<?xml version=\"1.0\"?><Error><Code>";
    const struct { const char* header; std::string body; int kind; } cases[] = {  // header: x-ms-error-code
        {"", "", Failed}, {"", errorBody("ResourceInUse"), ResourceInUse},
        {"", errorBody("com.example#ThrottlingException"), Throttled},
        {"", "{\"odata.error\":{\"code\":\"TableNotFound\",\"message\":{\"value\":\"ResourceNotFound?\"}}}", Failed},
        {"", "ResourceNotFound", Failed}, {"", xml + "TableBeingDeleted</Code><Message>wait</Message></Error>", BeingDeleted},
        {"", xml + "AuthorizationFailure</Code><Message>ResourceNotFound</Message></Error>", Failed},
        {"ResourceNotFound", "", ResourceNotFound}, {"TableBeingDeleted", kNotFound, BeingDeleted},
        {"InvalidInput", kNotFound, Failed},
    };
    for (const auto& c : cases) {
        AzureTableResponse reply;
        reply.body = c.body;
        if (*c.header) reply.headers["x-ms-error-code"] = c.header;
        AzureTableOutcome<bool> outcome(reply);
        EXPECT_EQ(outcome.errorKind, c.kind) << c.header << " | " << c.body;
        EXPECT_EQ(outcome.errorMessage, c.body);
    }
}

TEST(ErrorSummary, OneLineFromEveryKindOfBodyWithoutSecrets) {
    const std::pair<std::string, std::string> cases[] = {
        {"{\"odata.error\":{\"code\":\"TableNotFound\",\"message\":{\"value\":\"gone\\nRequestId:1\"}}}", "TableNotFound: gone"},
        {"<Error><Code>AuthenticationFailed</Code><Message>no\nmore</Message></Error>", "AuthenticationFailed: no"},
        {"plain\ntext", "plain text"}, {"", "no reply body"}};
    for (const auto& c : cases) EXPECT_EQ(table_service::summarizeErrorBody(c.first), c.second);
    // The service quotes a refused signature back, in either body format; it reaches no message.
    const std::string signature = "Xq3vT0pS1gN+aTuRe/VaLuE2Vc4Qm5bJ0Lp9wY8zK1E=", mac = "The MAC signature found in the HTTP request ";
    for (const std::string& body : {"{\"odata.error\":{\"message\":{\"value\":\"" + mac + "'" + signature + "' is not the same\"}}}",
                                    "<Error><Message>" + mac + "&apos;" + signature + "&apos; is not the same</Message></Error>",
                                    "Authorization: SharedKey acct:" + signature}) {
        const std::string summary = table_service::summarizeErrorBody(body);
        EXPECT_EQ(summary.find("Xq3vT0pS1gN"), std::string::npos) << summary;
        EXPECT_NE(summary.find("***"), std::string::npos) << summary;
    }
}

// Only a 200 naming a table is a description (a backup would save {"table":null}): a cut or
// non-JSON body is retried by the transport and then fails. The service's time is the Date of
// the latest reply that had one.
TEST_F(ClientTest, DescribeAcceptsOnlyA200ThatNamesTheTable) {
    EXPECT_EQ(client.serviceTime(), 0);
    transport->reply(200, "{\"odata.metadata\":\"m\",\"TableName\":\"orders\",\"n\":2.0}", {{"Date", "Sun, 06 Dec 2026 11:11:21 GMT"}});
    auto outcome = client.describeTable("orders");
    ASSERT_EQ(outcome.errorKind, 0);
    EXPECT_EQ(outcome.result->toDescriptionJson(), "{\"table\":{\"odata.metadata\":\"m\",\"TableName\":\"orders\",\"n\":2.0}}");
    EXPECT_EQ(transport->request(0).method + " " + lastUrl(), "GET " + kBase + "Tables('orders')");
    const struct { int status; std::string body; int kind; std::string words; } cases[] = {
        {204, "", Failed, ""}, {404, kNotFound, ResourceNotFound, kNotFound},
        {200, "{\"odata.metadata\":\"m\",\"TableNa", Failed, "not valid JSON"}, {200, "{\"TableName\":7}", Failed, "holds no TableName"},
    };
    for (const auto& c : cases) {
        answerAlways(c.status, c.body);
        auto failed = client.describeTable("t");
        EXPECT_EQ(failed.errorKind, c.kind) << c.body;
        EXPECT_FALSE(failed.result) << c.body;
        EXPECT_NE(failed.errorMessage.find(c.words), std::string::npos) << failed.errorMessage;
    }
    EXPECT_EQ(client.serviceTime(), 1796555481);
}

// A create or delete whose first attempt may have been carried out (its reply was lost) and
// whose retry is told "already exists" / "not found" has succeeded; a first answer stays a
// failure, and only the status each operation expects counts (a 204 is no create, a 200 no
// delete). Throttling is returned at once.
TEST_F(ClientTest, CreateAndDeleteTakeOnlyTheirOwnSuccessOrEarlierEffect) {
    const std::map<int, std::string> bodies{{409, errorBody("TableAlreadyExists")}, {404, kNotFound}, {2, kThrottled}};
    // Statuses 0: the connection dropped, 1: the host refused it, 2: throttled.
    const struct { bool create; std::vector<int> statuses; int kind; } cases[] = {
        {true, {0, 409}, Success}, {true, {503, 409}, Success}, {true, {500, 409}, Success}, {true, {409}, Failed},
        {true, {1, 409}, Failed}, {true, {429, 409}, Failed}, {true, {204}, Failed}, {true, {2}, Throttled},
        {false, {0, 404}, Success}, {false, {500, 404}, Success}, {false, {404}, ResourceNotFound},
        {false, {1, 404}, ResourceNotFound}, {false, {200}, Failed},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(::testing::Message() << c.create << " " << c.statuses.size() << " " << c.statuses.front());
        using F = platform::http::HttpReply::Failure;
        for (int status : c.statuses) {
            if (status < 2) transport->fail(status ? "Connection refused" : "Connection reset", status ? F::Unreachable : F::Transient);
            else transport->reply(status == 2 ? 409 : status, bodies.count(status) ? bodies.at(status) : "{}");
        }
        if (c.create) {
            auto outcome = client.createTable("{\"TableName\":\"fresh\"}");
            EXPECT_EQ(outcome.errorKind, c.kind);
            EXPECT_EQ(outcome.result ? outcome.result->tableName : "", c.kind ? "" : "fresh");
        } else {
            EXPECT_EQ(client.deleteTable("t").errorKind, c.kind);
        }
    }
    EXPECT_EQ(transport->requests().back().method + " " + lastUrl(), "DELETE " + kBase + "Tables('t')");
}

TEST_F(ClientTest, CreateRetriesWhileTheOldTableIsBeingDeleted) {
    transport->reply(409, "", {{"x-ms-error-code", "TableBeingDeleted"}});  // the code as a header alone
    for (int i = 0; i < 2; ++i) transport->reply(409, kBeingDeleted);
    const std::string payload = "{\"TableName\":\"fresh\"}", retrying = "Table is still being deleted. Retrying";
    transport->reply(201, payload);
    auto outcome = client.createTable(payload);
    ASSERT_EQ(outcome.errorKind, 0);
    EXPECT_EQ(outcome.result->tableName, "fresh");
    EXPECT_EQ(sleeper->sleeps(), (std::vector<unsigned long long>{5000, 5000, 5000}));
    EXPECT_EQ(messages("createTable"), (std::vector<std::string>{"CreateTable payload: " + payload, retrying, retrying, retrying}));
    ASSERT_EQ(transport->requestCount(), 4u);
    for (const auto& request : transport->requests())
        EXPECT_EQ(request.method + " " + request.url + " " + request.body, "POST " + kBase + "Tables " + payload);
}

// The waits poll every 2 s (active) or 40 s (deleted) until the timeout, keep waiting through
// other failures, and stop at once when the first answer settles them.
TEST_F(ClientTest, WaitsPollUntilSettledOrTimedOut) {
    using Sleeps = std::vector<unsigned long long>;
    using Replies = std::vector<std::pair<int, std::string>>;  // in order, then the last one forever
    const std::pair<int, std::string> table{200, "{\"TableName\":\"t\"}"}, missing{404, kNotFound}, deleting{409, kBeingDeleted};
    const struct { bool active; Replies replies; unsigned long long timeoutMs; bool settles; Sleeps sleeps; } cases[] = {
        {true, {missing}, 120000, false, Sleeps(61, 2000)}, {false, {table}, 120000, false, Sleeps(4, 40000)},
        {true, {deleting}, 0, false, Sleeps{2000}}, {false, {deleting}, 0, false, Sleeps{40000}},
        {true, {table}, 120000, true, Sleeps{}}, {false, {missing}, 120000, true, Sleeps{}},
        {false, {{409, kThrottled}, table, missing}, 120000, true, Sleeps{40000, 40000}},
    };
    for (const auto& c : cases) {
        const size_t before = sleeper->sleeps().size();
        for (size_t i = 0; i + 1 < c.replies.size(); ++i) transport->reply(c.replies[i].first, c.replies[i].second);
        answerAlways(c.replies.back().first, c.replies.back().second);
        EXPECT_EQ(c.active ? client.waitForActiveTable("t", c.timeoutMs) : client.waitForDeletedTable("t", c.timeoutMs), c.settles);
        auto sleeps = sleeper->sleeps();
        EXPECT_EQ(Sleeps(sleeps.begin() + before, sleeps.end()), c.sleeps) << c.active << " " << c.replies.back().first;
    }
}

// A stop ends the create that waits for an old table to go and both waits at once; nothing more
// is sent after it.
TEST_F(ClientTest, AStopEndsTheCreateRetriesAndTheWaits) {
    testing_support::StopTokenScope stop;
    answerAlways(409, kBeingDeleted);
    sleeper->onSleep([&](size_t count) { if (count == 3) stop.requestStop(); });
    auto created = client.createTable("{\"TableName\":\"t\"}");
    EXPECT_EQ(created.errorKind, Failed);
    EXPECT_NE(created.errorMessage.find("OperationCancelled"), std::string::npos) << created.errorMessage;
    EXPECT_FALSE(client.waitForActiveTable("t", 120000) || client.waitForDeletedTable("t", 120000));
    EXPECT_EQ(transport->requestCount(), 3u);
    EXPECT_EQ(sleeper->sleeps().size(), 3u);
}

// The creation payload names the table (escaped as JSON); a copy of a description shares no
// memory with its source (a plain rapidjson copy only references constant strings).
TEST(AzureTableDescription, CreationPayloadAndCopies) {
    std::string name = "orders", key = "TableName";
    rapidjson::Document source(rapidjson::kObjectType);
    source.AddMember(rapidjson::StringRef(key.c_str()), rapidjson::StringRef(name.c_str()), source.GetAllocator());
    auto original = std::make_unique<AzureTableDescription>(source);
    name.assign(name.size(), 'X');  // overwrites the very bytes the source references
    key.assign(key.size(), 'Y');
    AzureTableDescription copy(*original);
    original.reset();
    EXPECT_EQ(copy.tableName + " " + copy.toDescriptionJson(), "orders {\"table\":{\"TableName\":\"orders\"}}");
    EXPECT_EQ(copy.createTableRequest(""), "{\"TableName\":\"orders\"}");
    EXPECT_EQ(copy.createTableRequest("a\"b\\c\n\xC3\xA9"), "{\"TableName\":\"a\\\"b\\\\c\\n\xC3\xA9\"}");
}
