#pragma once
// What a failed reply says: the service's error code, the error kind the client reports for it,
// a one-line summary for people, and the "odata.error" body the client writes for failures made
// on this side. Stateless and thread-safe.
//
// The code is read from the parsed reply only: the x-ms-error-code header, else the "code" of a
// JSON "odata.error" body, else the <Code> of an XML <Error> body. The message text is never
// searched, so a message that merely mentions a code does not change the kind.
#include <string>

#include "platform/http/AzureTableRequest.h"
#include "platform/util/Export.h"

namespace table_service {

// The error code of a failed reply (header first, then body); "" when it carries none.
AZT_API std::string errorCodeOf(const AzureTableResponse& reply);
// The error code of a body alone.
AZT_API std::string errorCodeOf(const std::string& body);

// The AzureTableErrorKind of an error code (first rule that matches wins; "" is Failed):
//   code contains "ThrottlingException"  -> Throttled (2)
//   code contains "BeingDeleted"          -> BeingDeleted (3)    e.g. TableBeingDeleted
//   code contains "ResourceInUse"         -> ResourceInUse (6)
//   code contains "ResourceNotFound"      -> ResourceNotFound (4)
//   anything else                          -> Failed (1)          e.g. TableNotFound, ServerBusy
AZT_API int errorKindOfCode(const std::string& code);

// The "odata.error" JSON body the service sends, for errors made on this side.
AZT_API std::string odataErrorBody(const std::string& code, const std::string& message);

// One line for people out of an error reply: "<code>: <first line of the message>" from a JSON
// "odata.error" or an XML <Error> body, else the body cut short. Secrets are scrubbed.
AZT_API std::string summarizeErrorBody(const std::string& body);

}  // namespace table_service
