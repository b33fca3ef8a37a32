// Copies one production record into another, every run and unit with its ids: how a record
// kept as JSON Lines moves into SQLite (`tarvolo log --export`).
#ifndef TARVOLO_RECORD_RECORD_EXPORT_H
#define TARVOLO_RECORD_RECORD_EXPORT_H

#include <cstdint>
#include <string>
#include <vector>

struct ExportCounts {
    int64_t runs = 0;
    int64_t units = 0;
};

// Writes the record at `from` into a new record at `to` (its extension chooses the back end).
// `to` must not exist yet; when the copy fails, nothing is left at `to`. Rows without ids (an
// older schema's) get them as a writer's migration would give them. Warnings about what
// reading `from` skipped are appended to `warnings`.
bool exportRecord(const std::string& from, const std::string& to, ExportCounts* counts,
                  std::vector<std::string>* warnings, std::string* error);

#endif
