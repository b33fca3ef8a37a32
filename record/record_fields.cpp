// Row types to named values and back (record_fields.h).
#include "record/record_fields.h"

#include <nlohmann/json.hpp>

namespace {

FieldValue optionalNumber(const std::optional<int64_t>& v)
{
    return v ? FieldValue(*v) : FieldValue();
}

FieldValue textOrNull(const std::string& s)
{
    return s.empty() ? FieldValue() : FieldValue(s);
}

// Reads typed values out of a FieldMap, keeping the first type error.
class FieldReader {
public:
    explicit FieldReader(const FieldMap& values) : values_(values) {}

    bool has(const char* name) const { return find(name) != nullptr; }

    void number(const char* name, int64_t* out)
    {
        if (const FieldValue* v = find(name)) {
            if (const int64_t* n = std::get_if<int64_t>(v))
                *out = *n;
            else
                fail(name, "a whole number");
        }
    }

    void optional(const char* name, std::optional<int64_t>* out)
    {
        if (has(name)) {
            int64_t n = 0;
            number(name, &n);
            *out = n;
        }
    }

    void text(const char* name, std::string* out)
    {
        if (const FieldValue* v = find(name)) {
            if (const std::string* s = std::get_if<std::string>(v))
                *out = *s;
            else
                fail(name, "text");
        }
    }

    // A list, or text holding a JSON array of strings (SQLite stores lists that way).
    void list(const char* name, std::vector<std::string>* out)
    {
        const FieldValue* v = find(name);
        if (!v)
            return;
        if (const auto* l = std::get_if<std::vector<std::string>>(v)) {
            *out = *l;
            return;
        }
        const std::string* s = std::get_if<std::string>(v);
        const nlohmann::json j = s ? nlohmann::json::parse(*s, nullptr, false) : nlohmann::json();
        if (!j.is_array())
            return fail(name, "a list of texts");
        out->clear();
        for (const auto& item : j) {
            if (!item.is_string())
                return fail(name, "a list of texts");
            out->push_back(item.get<std::string>());
        }
    }

    bool ok(std::string* error) const
    {
        if (!error_.empty() && error)
            *error = error_;
        return error_.empty();
    }

private:
    const FieldValue* find(const char* name) const
    {
        const auto it = values_.find(name);
        if (it == values_.end() || std::holds_alternative<std::monostate>(it->second))
            return nullptr;
        return &it->second;
    }

    void fail(const char* name, const char* expected)
    {
        if (error_.empty())
            error_ = std::string("field ") + name + " should be " + expected;
    }

    const FieldMap& values_;
    std::string error_;
};

void announcedFields(const std::optional<AnnouncedRecord>& a, Fields* f)
{
    if (!a) {
        for (const char* name : {"handset_product_id", "handset_download_code", "handset_block_size",
                                 "handset_blank_byte", "handset_checksum_kind"})
            f->push_back({name, FieldValue()});
        return;
    }
    f->push_back({"handset_product_id", a->productId});
    f->push_back({"handset_download_code", a->downloadCode});
    f->push_back({"handset_block_size", a->blockSize});
    f->push_back({"handset_blank_byte", a->blankByte});
    f->push_back({"handset_checksum_kind", a->checksumKind});
}

void readAnnounced(FieldReader& r, std::optional<AnnouncedRecord>* out)
{
    // The five columns are written together: any one of them present means a record was sent.
    if (!r.has("handset_product_id") && !r.has("handset_download_code") &&
        !r.has("handset_block_size") && !r.has("handset_blank_byte") &&
        !r.has("handset_checksum_kind"))
        return;
    AnnouncedRecord a;
    r.text("handset_product_id", &a.productId);
    r.text("handset_download_code", &a.downloadCode);
    r.number("handset_block_size", &a.blockSize);
    r.number("handset_blank_byte", &a.blankByte);
    r.text("handset_checksum_kind", &a.checksumKind);
    *out = a;
}

}  // namespace

Fields unitFields(const UnitRecord& u)
{
    Fields f = {
        {"run_id", u.runId},
        {"sequence", u.sequence},
        {"station_id", u.stationId},
        {"operator", u.operatorName},
        {"lot", u.lot},
        {"port_selector", u.portSelector},
        {"device", u.device},
        {"usb_id", u.usbId},
        {"usb_serial", u.usbSerial},
        {"usb_location", u.usbLocation},
        {"started_utc", u.startedUtc},
        {"ended_utc", u.endedUtc},
        {"duration_ms", u.durationMs},
        {"release_file", u.releaseFile},
        {"release_sha256", u.releaseSha256},
        {"file_product_id", u.fileProductId},
    };
    announcedFields(u.announced, &f);
    const Fields rest = {
        {"mode", u.mode},
        {"speed", u.speed},
        {"result_code", u.resultCode},
        {"result_meaning", u.resultMeaning},
        {"outcome", std::string(outcomeWord(u.outcome))},
        {"expected_checksum", optionalNumber(u.expectedChecksum)},
        {"reported_checksum", optionalNumber(u.reportedChecksum)},
        {"retries_exchange", u.retries.exchange},
        {"retries_erase", u.retries.erase},
        {"retries_blocks", u.retries.blocks},
        {"retries_checksum", u.retries.checksum},
        {"retries_abort", u.retries.abort},
        {"tool_version", u.toolVersion},
        {"tool_sha256", u.toolSha256},
        {"abort_reason", optionalNumber(u.abortReason)},
        {"unsent_bytes", optionalNumber(u.unsentBytes)},
        {"attempt_uuid", textOrNull(u.attemptUuid)},
        {"parameter_record", textOrNull(u.parameterRecord)},
        {"adapter_driver", textOrNull(u.adapterDriver)},
        {"adapter_latency_ms", optionalNumber(u.adapterLatencyMs)},
        {"label", textOrNull(u.label)},
        {"attempt", optionalNumber(u.attempt)},
        {"capture", textOrNull(u.capture)},
        {"signing_key_id", textOrNull(u.signingKeyId)},
        {"signed_release", textOrNull(u.signedRelease)},
    };
    f.insert(f.end(), rest.begin(), rest.end());
    return f;
}

Fields runFields(const StationRun& r)
{
    return {
        {"run_id", r.runId},
        {"station_id", r.stationId},
        {"operator", r.operatorName},
        {"lot", r.lot},
        {"started_utc", r.startedUtc},
        {"ended_utc", textOrNull(r.endedUtc)},
        {"release_file", r.releaseFile},
        {"release_sha256", r.releaseSha256},
        {"file_product_id", r.fileProductId},
        {"mode", r.mode},
        {"speed", r.speed},
        {"port_selectors", r.portSelectors},
        {"tool_version", r.toolVersion},
        {"tool_sha256", r.toolSha256},
        {"units_done", r.unitsDone},
        {"units_failed", r.unitsFailed},
        {"ending", textOrNull(r.ending)},
        {"exit_code", optionalNumber(r.exitCode)},
        {"run_uuid", textOrNull(r.runUuid)},
    };
}

bool unitFromFields(const FieldMap& values, UnitRecord* u, std::string* error)
{
    FieldReader r(values);
    r.number("run_id", &u->runId);
    r.number("sequence", &u->sequence);
    r.text("station_id", &u->stationId);
    r.text("operator", &u->operatorName);
    r.text("lot", &u->lot);
    r.text("port_selector", &u->portSelector);
    r.text("device", &u->device);
    r.text("usb_id", &u->usbId);
    r.text("usb_serial", &u->usbSerial);
    r.text("usb_location", &u->usbLocation);
    r.text("started_utc", &u->startedUtc);
    r.text("ended_utc", &u->endedUtc);
    r.number("duration_ms", &u->durationMs);
    r.text("release_file", &u->releaseFile);
    r.text("release_sha256", &u->releaseSha256);
    r.text("file_product_id", &u->fileProductId);
    readAnnounced(r, &u->announced);
    r.text("mode", &u->mode);
    r.number("speed", &u->speed);
    r.number("result_code", &u->resultCode);
    r.text("result_meaning", &u->resultMeaning);
    std::string outcome;
    r.text("outcome", &outcome);
    r.optional("expected_checksum", &u->expectedChecksum);
    r.optional("reported_checksum", &u->reportedChecksum);
    r.number("retries_exchange", &u->retries.exchange);
    r.number("retries_erase", &u->retries.erase);
    r.number("retries_blocks", &u->retries.blocks);
    r.number("retries_checksum", &u->retries.checksum);
    r.number("retries_abort", &u->retries.abort);
    r.text("tool_version", &u->toolVersion);
    r.text("tool_sha256", &u->toolSha256);
    r.optional("abort_reason", &u->abortReason);
    r.optional("unsent_bytes", &u->unsentBytes);
    r.text("attempt_uuid", &u->attemptUuid);
    r.text("parameter_record", &u->parameterRecord);
    r.text("adapter_driver", &u->adapterDriver);
    r.optional("adapter_latency_ms", &u->adapterLatencyMs);
    r.text("label", &u->label);
    r.optional("attempt", &u->attempt);
    r.text("capture", &u->capture);
    r.text("signing_key_id", &u->signingKeyId);
    r.text("signed_release", &u->signedRelease);
    if (!r.ok(error))
        return false;
    if (!outcomeFromWord(outcome, &u->outcome)) {
        *error = "field outcome holds '" + outcome + "', not one of completed, failed, "
                 "interrupted, port-lost";
        return false;
    }
    return true;
}

bool runFromFields(const FieldMap& values, StationRun* run, std::string* error)
{
    FieldReader r(values);
    r.number("run_id", &run->runId);
    r.text("station_id", &run->stationId);
    r.text("operator", &run->operatorName);
    r.text("lot", &run->lot);
    r.text("started_utc", &run->startedUtc);
    r.text("ended_utc", &run->endedUtc);
    r.text("release_file", &run->releaseFile);
    r.text("release_sha256", &run->releaseSha256);
    r.text("file_product_id", &run->fileProductId);
    r.text("mode", &run->mode);
    r.number("speed", &run->speed);
    r.list("port_selectors", &run->portSelectors);
    r.text("tool_version", &run->toolVersion);
    r.text("tool_sha256", &run->toolSha256);
    r.number("units_done", &run->unitsDone);
    r.number("units_failed", &run->unitsFailed);
    r.text("ending", &run->ending);
    r.optional("exit_code", &run->exitCode);
    r.text("run_uuid", &run->runUuid);
    return r.ok(error);
}
