#pragma once
// What the controller tells a person: table names checked before any request, and failed
// replies of the service put into words (what failed, which table and account, and the service's
// own code and message). The library keeps its own log texts; the words are added here.
#include <string>

namespace aztable {

// "" when `name` is a table name the service accepts (3 to 63 letters and digits, starting with a
// letter); otherwise why not, naming it.
std::string tableNameProblem(const std::string& name);

// A failed reply (its body, as the client kept it) in words, e.g. "table t1 does not exist in
// account acct" or "the service refused the account key of acct (403 AuthenticationFailed: ...)".
// Secrets are scrubbed.
std::string explainServiceFailure(const std::string& body, const std::string& table, const std::string& account);

// "1.5 MiB" and the like.
std::string humanBytes(double bytes);

}  // namespace aztable
