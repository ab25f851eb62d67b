#pragma once
// Where each collect (one backup data stream of a job, named by a small integer) resumes when
// the job manager restarts an interrupted backup. The job manager's restart string names them
// as items "-o <collect>|<offset>", for example "-o 1|4096 -o 2|0"; spaces are not significant.
// initialize parses it once (items may be given over several calls, a later item for the same
// collect replacing the earlier one), and the job then asks for each collect's offset.
//
// An offset above 0 is stored, and handed back, one less than the job manager wrote it. Malformed
// items are skipped, text that is not a number reads as 0: no input is an error.
//
// Owns its map; debug lines go to the default runtime's debug log. One thread at a time.
#include <map>
#include <string>

#include "platform/log/EvDebug.h"
#include "platform/util/Export.h"

namespace AzureTableIDA {

class AZT_API BackupRestartInfo {
public:
    BackupRestartInfo() = default;
    virtual ~BackupRestartInfo() = default;

    // Parses `restartString` and merges its items into the map (not cleared first). An empty
    // string leaves the map as it was.
    void initialize(const std::string& restartString);
    // The map position of `collect`, or offsets.end().
    std::map<int, long long>::iterator findCollect(int collect) { return offsets.find(collect); }
    bool isCollectInMap(int collect) const { return offsets.count(collect) != 0; }
    // The stored offset; 0 when the collect is not in the map.
    long long lookupCollectOffset(int collect);
    void clearMap() { offsets.clear(); }

    std::map<int, long long> offsets;  // collect -> restart offset
    EvDebug debug;
};

}  // namespace AzureTableIDA
