// Binding and reading field values (sqlite_statement.h). A list is stored as JSON text.
#include "output/json_line.h"
#include "record/sqlite_statement.h"

#include "record/record_json.h"

void SqliteStatement::bind(int index, const FieldValue& value)
{
    if (const int64_t* n = std::get_if<int64_t>(&value)) {
        sqlite3_bind_int64(stmt_, index, *n);
    } else if (const std::string* s = std::get_if<std::string>(&value)) {
        sqlite3_bind_text(stmt_, index, s->data(), static_cast<int>(s->size()), SQLITE_TRANSIENT);
    } else if (const auto* list = std::get_if<std::vector<std::string>>(&value)) {
        bind(index, FieldValue(jsonLine(nlohmann::ordered_json(*list))));
    } else {
        sqlite3_bind_null(stmt_, index);
    }
}

FieldMap SqliteStatement::row() const
{
    FieldMap values;
    for (int i = 0; i < sqlite3_column_count(stmt_); ++i) {
        const char* name = sqlite3_column_name(stmt_, i);
        switch (sqlite3_column_type(stmt_, i)) {
        case SQLITE_INTEGER:
        case SQLITE_FLOAT:
            values[name] = static_cast<int64_t>(sqlite3_column_int64(stmt_, i));
            break;
        case SQLITE_NULL:
            values[name] = FieldValue();
            break;
        default: {
            const auto* text = reinterpret_cast<const char*>(sqlite3_column_text(stmt_, i));
            values[name] = std::string(text, static_cast<size_t>(sqlite3_column_bytes(stmt_, i)));
        }
        }
    }
    return values;
}
