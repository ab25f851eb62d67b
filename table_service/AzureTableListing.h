#pragma once
// The table listing of one storage account, and the emulator's describe adapter built on it.
//
// AzureTableListing walks GET Tables page by page (NextTableName=<token> until a page comes
// without one). It owns the reply of the page it last read; the sender it is given must outlive
// it. One thread at a time. A failed page, a reply that is no listing or a token the service
// hands back a second time ends the walk with error() saying why in words; the pages already
// read stay valid for the caller.
#include <functional>
#include <set>
#include <string>
#include <vector>

#include "platform/http/AzureTableRequest.h"
#include "platform/util/Export.h"

namespace table_service {

class AZT_API AzureTableListing {
public:
    using Send = std::function<AzureTableResponse(AzureTableRequest&)>;

    // `first` is the request of the first page (GET Tables of the account, no query); every page
    // is a copy of it with its NextTableName. `send` executes one request.
    AzureTableListing(AzureTableRequest first, Send send);

    // Reads the next page. True with names() and reply() of that page; false after the last page
    // (error() empty) or when the walk cannot go on (error() set).
    bool next();

    // The table names of the page, in the order the service listed them.
    const std::vector<std::string>& names() const { return m_names; }
    const AzureTableResponse& reply() const { return m_reply; }
    // Why the walk ended early: "HTTP 403: <summary> (check the account name and key)",
    // "unexpected reply: ...", "the service repeated a continuation token"; "" otherwise.
    const std::string& error() const { return m_error; }

private:
    AzureTableRequest m_first;
    Send m_send;
    std::string m_nextTableName;
    std::set<std::string> m_seenTokens;
    bool m_started = false;
    bool m_done = false;
    AzureTableResponse m_reply;
    std::vector<std::string> m_names;
    std::string m_error;
};

// Table names are compared as the service compares them: without regard to case.
AZT_API bool sameTableName(const std::string& a, const std::string& b);

// Emulator adapter for describing a table. The emulator answers GET Tables('t') with the
// table's entities, so a describe is sent as a filtered table query instead; its filter is
// case-sensitive where names are not, so a describe that the filter misses looks through the
// listing before the table is called missing.
// True when `request` is a describe (GET of exactly Tables('<name>'), no query); `name` is set.
AZT_API bool isDescribeTableRequest(const AzureTableRequest& request, std::string& name);
// The filtered query that stands in for the describe: GET Tables?$filter=TableName eq '<name>'.
AZT_API AzureTableRequest describeAsTableQuery(const AzureTableRequest& describe, const std::string& name);
// The first page of the account's table listing, made from any request of the account.
AZT_API AzureTableRequest tableListingPage(const AzureTableRequest& like);
AZT_API bool listingHoldsTable(const AzureTableResponse& reply, const std::string& name);
// Turns the query's reply into the service's reply to the describe: 200 with the table object
// ({"odata.metadata":".../$metadata#Tables/@Element","TableName":"<name as stored>"}; names
// compared without regard to case) or 404 with a "ResourceNotFound" error code (header and
// body). Other replies pass unchanged.
AZT_API AzureTableResponse describeReplyFromTableQuery(AzureTableResponse reply, const std::string& name);
// The whole adapter: the describe `request` answered as the service would, through `send`.
AZT_API AzureTableResponse describeThroughTableQuery(const AzureTableRequest& request, const std::string& name,
                                                     const AzureTableListing::Send& send);

}  // namespace table_service
