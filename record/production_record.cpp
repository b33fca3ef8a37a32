// Chooses the back end of a production record by the file's extension.
#include "record/production_record.h"

#include <filesystem>

#include "output/file_name.h"

std::unique_ptr<ProductionRecord> openProductionRecord(const std::string& path,
                                                       RecordAccess access, std::string* error)
{
    if (access == RecordAccess::Read && !std::filesystem::exists(pathOf(path))) {
        *error = "no production record at " + path;
        return nullptr;
    }
    if (pathOf(path).extension() == ".jsonl")
        return openJsonLinesRecord(path, access, error);
    return openSqliteRecord(path, access, error);
}
