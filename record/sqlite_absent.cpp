// The production record in a build without SQLite (Debian has no MinGW SQLite): the station
// writes JSON Lines, and a SQLite file is refused with a message saying so.
#include "record/production_record.h"

std::unique_ptr<ProductionRecord> openSqliteRecord(const std::string& path, RecordAccess,
                                                   std::string* error)
{
    *error = "cannot open " + path + ": this build writes and reads production records as "
             "JSON Lines only (name a .jsonl file)";
    return nullptr;
}

const char* defaultRecordPath() { return "tarvolo-production.jsonl"; }

bool sqliteRecordBuilt() { return false; }
