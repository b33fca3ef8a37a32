// Field values to JSON and back (record_json.h).
#include "record/record_json.h"

namespace {

nlohmann::ordered_json toJson(const FieldValue& value)
{
    if (const int64_t* n = std::get_if<int64_t>(&value))
        return *n;
    if (const std::string* s = std::get_if<std::string>(&value))
        return *s;
    if (const auto* list = std::get_if<std::vector<std::string>>(&value))
        return *list;
    return nullptr;
}

bool fromJson(const nlohmann::json& j, FieldValue* value)
{
    if (j.is_null()) {
        *value = FieldValue();
    } else if (j.is_number_integer()) {
        *value = j.get<int64_t>();
    } else if (j.is_string()) {
        *value = j.get<std::string>();
    } else if (j.is_array()) {
        std::vector<std::string> list;
        for (const auto& item : j) {
            if (!item.is_string())
                return false;
            list.push_back(item.get<std::string>());
        }
        *value = list;
    } else {
        return false;
    }
    return true;
}

}  // namespace

nlohmann::ordered_json fieldsToJson(const Fields& fields)
{
    nlohmann::ordered_json j = nlohmann::ordered_json::object();
    for (const Field& f : fields)
        j[f.name] = toJson(f.value);
    return j;
}

bool fieldsFromJson(const nlohmann::json& object, FieldMap* values, std::string* error)
{
    for (const auto& [name, member] : object.items()) {
        if (!fromJson(member, &(*values)[name])) {
            *error = "field " + name + " holds a value of the wrong kind";
            return false;
        }
    }
    return true;
}
