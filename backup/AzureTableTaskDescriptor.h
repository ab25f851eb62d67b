#pragma once
// The parameter record of one per-table task: which account and table, how to reach it (the
// account URL and access key), the time bounds, the table's description, where the scan resumes
// and the restore metadata. The controller that splits a job into per-table tasks saves it into
// the task's options and the process that runs the task restores it.
//
// Two forms travel:
//   keyed form: one name/value record per field, named after the field (save into a list of
//     DINameValue records; restore from a name -> text map). Numbers are decimal text,
//     closeAfileAfterTask is "1" or "0".
//   list form: nine texts in a fixed order (closeAfileAfterTask is not part of it).
// saveToFile / loadFromFile keep the keyed form in a file of its own, as one compact JSON object
// of those names and texts.
//
// The descriptor carries the access key. Nothing here writes the descriptor whole to a log: its
// log lines name the table only. A descriptor file is created with mode 0600 and replaced
// durably (temp file, fsync, rename): after a crash the file holds the old or the new
// descriptor, never a mix, and never a key readable by other users.
//
// A plain value: owns all its fields, copies member-wise. One thread at a time per object.
// Failure: keyed-form restore stops at the first missing name with a 1627 error, leaving the
// fields read before it replaced and the rest as they were; list-form restore of a list of the
// wrong length returns false and changes nothing; loadFromFile changes nothing unless the whole
// file is a descriptor.
#include <map>
#include <string>
#include <vector>

#include "platform/messages/Messages.h"
#include "platform/store/FileSystem.h"
#include "platform/util/CTnError.h"
#include "platform/util/Export.h"

namespace AzureTableIDA {

class AZT_API AzureTableTaskDescriptor {
public:
    AzureTableTaskDescriptor() = default;

    // Appends the keyed form (ten records, see the order in the source) to `list`, which is not
    // emptied first; `scratch` is left holding the last record.
    void save(DistributedIDA::DINameValue& scratch, std::vector<DistributedIDA::DINameValue>& list) const;
    // Reads the keyed form. Numbers are read as strtoll does (no number gives 0, never an
    // error); closeAfileAfterTask is false only for the text "0".
    CTnError restore(const std::map<std::string, std::string>& values);
    // Replaces `list` with the list form.
    void save(std::vector<std::string>& list) const;
    // Reads the list form; false, changing nothing, unless `list` holds exactly nine entries.
    // closeAfileAfterTask keeps its value.
    bool restore(const std::vector<std::string>& list);
    // `value` = values[name]; a 1627 error "Value not found in map for name [<name>]" when
    // absent (`value` unchanged).
    static CTnError extractValueFromMap(std::map<std::string, std::string> values, const std::string& name,
                                        std::string& value);

    // Compares account, table, key, URL, description, restart context and both times;
    // RestoreMetadata and closeAfileAfterTask take no part.
    bool operator==(const AzureTableTaskDescriptor& other) const;
    bool operator!=(const AzureTableTaskDescriptor& other) const { return !(*this == other); }
    void assign(const AzureTableTaskDescriptor& other) { *this = other; }

    // One information line naming the table (nothing else of the descriptor).
    void Log() const;

    // Writes the keyed form to `path` (mode 0600, replaced durably). A 1627 error naming the
    // path and the cause on failure; an earlier file at `path` is then left as it was.
    CTnError saveToFile(const std::string& path,
                        platform::store::FileSystem& fs = platform::store::posixFileSystem()) const;
    // Reads a file saveToFile wrote. A 1627 error naming the path when it cannot be read or is
    // not one JSON object of texts, or the restore's error when a name is missing; the
    // descriptor is changed only when the whole file reads.
    CTnError loadFromFile(const std::string& path,
                          platform::store::FileSystem& fs = platform::store::posixFileSystem());

    std::string storageAccount;
    std::string tableName;
    std::string accessKey;
    std::string accessURL;
    long long timeStarted = 0;
    long long fromTime = 0;
    std::string JSONDescription;
    std::string RestartContext;
    std::string RestoreMetadata;
    bool closeAfileAfterTask = true;
};

}  // namespace AzureTableIDA
