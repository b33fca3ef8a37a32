// Named field values (record_fields.h) as JSON: the lines of a JSON Lines production record
// and the objects `tarvolo log --json` prints.
#ifndef TARVOLO_RECORD_RECORD_JSON_H
#define TARVOLO_RECORD_RECORD_JSON_H

#include <nlohmann/json.hpp>

#include <string>

#include "record/record_fields.h"

// An object holding each field under its name, in order; null for an absent value.
nlohmann::ordered_json fieldsToJson(const Fields& fields);
// Each member of `object` as a field value. False, naming the member, for a value that is
// none of null, a whole number, text, or a list of texts.
bool fieldsFromJson(const nlohmann::json& object, FieldMap* values, std::string* error);

#endif
