// A prepared SQLite statement that binds and reads named field values (record_fields.h).
#ifndef TARVOLO_RECORD_SQLITE_STATEMENT_H
#define TARVOLO_RECORD_SQLITE_STATEMENT_H

#include <sqlite3.h>

#include <string>

#include "record/record_fields.h"

// A prepared statement, finalized when it goes out of scope.
class SqliteStatement {
public:
    SqliteStatement(sqlite3* db, const std::string& sql)
    {
        if (sqlite3_prepare_v2(db, sql.c_str(), -1, &stmt_, nullptr) != SQLITE_OK)
            stmt_ = nullptr;
    }
    ~SqliteStatement() { sqlite3_finalize(stmt_); }
    SqliteStatement(const SqliteStatement&) = delete;
    SqliteStatement& operator=(const SqliteStatement&) = delete;

    bool ok() const { return stmt_ != nullptr; }
    sqlite3_stmt* get() const { return stmt_; }

    void bind(int index, const FieldValue& value);
    FieldMap row() const;

private:
    sqlite3_stmt* stmt_ = nullptr;
};

#endif
