// The one list of what a unit and a run carry to the central database: each local column by
// name, with the type its central column has. A column added to the local record ships once
// it has a line here; `tarvolo central init` adds the central column (ADD COLUMN IF NOT
// EXISTS), and shipping, reading back and comparing all follow this list.
#ifndef TARVOLO_CENTRAL_SHIPPED_COLUMNS_H
#define TARVOLO_CENTRAL_SHIPPED_COLUMNS_H

#include <cstddef>
#include <string>

struct ShippedColumn {
    const char* name;  // as in the local record (record_fields.cpp)
    const char* type;  // PostgreSQL: "text" or "bigint"
};

// Units: keyed centrally by attempt_uuid; the run is named by its run_uuid (run_id is only
// the local file's number).
inline constexpr ShippedColumn kShippedUnitColumns[] = {
    {"attempt_uuid", "text"},       {"run_uuid", "text"},
    {"sequence", "bigint"},         {"station_id", "text"},
    {"operator", "text"},           {"lot", "text"},
    {"port_selector", "text"},      {"device", "text"},
    {"usb_id", "text"},             {"usb_serial", "text"},
    {"usb_location", "text"},       {"started_utc", "text"},
    {"ended_utc", "text"},          {"duration_ms", "bigint"},
    {"release_file", "text"},       {"release_sha256", "text"},
    {"file_product_id", "text"},    {"handset_product_id", "text"},
    {"handset_download_code", "text"}, {"handset_block_size", "bigint"},
    {"handset_blank_byte", "bigint"},  {"handset_checksum_kind", "text"},
    {"mode", "text"},               {"speed", "bigint"},
    {"result_code", "bigint"},      {"result_meaning", "text"},
    {"outcome", "text"},            {"expected_checksum", "bigint"},
    {"reported_checksum", "bigint"}, {"retries_exchange", "bigint"},
    {"retries_erase", "bigint"},    {"retries_blocks", "bigint"},
    {"retries_checksum", "bigint"}, {"retries_abort", "bigint"},
    {"tool_version", "text"},       {"tool_sha256", "text"},
    {"abort_reason", "bigint"},     {"unsent_bytes", "bigint"},
    {"parameter_record", "text"},
    {"adapter_driver", "text"},     {"adapter_latency_ms", "bigint"},
    {"label", "text"},              {"attempt", "bigint"},
};

// Runs: keyed by run_uuid, sent when the run begins; how it ended goes once it has into a
// table of its own, so that a station's role only ever inserts.
inline constexpr ShippedColumn kShippedRunColumns[] = {
    {"run_uuid", "text"},        {"station_id", "text"},     {"operator", "text"},
    {"lot", "text"},             {"started_utc", "text"},    {"release_file", "text"},
    {"release_sha256", "text"},  {"file_product_id", "text"}, {"mode", "text"},
    {"speed", "bigint"},         {"port_selectors", "text"}, {"tool_version", "text"},
    {"tool_sha256", "text"},
};
inline constexpr ShippedColumn kShippedRunEndColumns[] = {
    {"run_uuid", "text"},  {"ended_utc", "text"}, {"units_done", "bigint"},
    {"units_failed", "bigint"}, {"ending", "text"}, {"exit_code", "bigint"},
};

// The columns' names, comma-separated, for a statement.
template <size_t N>
std::string shippedNames(const ShippedColumn (&columns)[N])
{
    std::string names;
    for (const ShippedColumn& c : columns)
        names += std::string(names.empty() ? "" : ",") + c.name;
    return names;
}

#endif
