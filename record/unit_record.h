// The rows of the production record: one StationRun per run of a production station, one
// UnitRecord per handset the station flashed. Plain values, no behaviour: the station fills
// them, the back ends (production_record.h) store them under the column names given in
// record_fields.cpp, and readers get them back field for field.
//
// Times are UTC text in one fixed form, "YYYY-MM-DDTHH:MM:SS.mmmZ" (utc_time.h makes it), so
// that text order is time order in every back end. Empty text means "not known".
#ifndef TARVOLO_RECORD_UNIT_RECORD_H
#define TARVOLO_RECORD_UNIT_RECORD_H

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

// How a unit ended. Words in the record: "completed", "failed", "interrupted", "port-lost".
enum class UnitOutcome {
    Completed,    // the handset reported the expected checksum
    Failed,       // the download ended with any other result
    Interrupted,  // the station was stopped (Ctrl-C) while the unit was in progress
    PortLost,     // the unit's port went away during the download
};

const char* outcomeWord(UnitOutcome outcome);

// False when `word` is none of the four words.
bool outcomeFromWord(const std::string& word, UnitOutcome* outcome);
// Raw bytes as the record keeps the whole parameter record: two lower-case hex digits a byte.
std::string hexBytes(const uint8_t* bytes, size_t length);

// What the handset's 64-byte parameter record announced. Absent from a unit whose handset
// never sent one (no answer, or the download stopped before the exchange).
struct AnnouncedRecord {
    std::string productId;     // 4 bytes; printable ASCII as is, other bytes as \xNN
    std::string downloadCode;  // the code the handset carries, shown as productId is
    int64_t blockSize = 0;     // image bytes per write frame
    int64_t blankByte = 0;     // 0 to 255
    std::string checksumKind;  // "crc-16/x-25" or "byte-sum"
};

// Retries the engine made in each phase of one unit's download.
struct PhaseRetries {
    int64_t exchange = 0;  // inquiry and parameter exchange
    int64_t erase = 0;
    int64_t blocks = 0;    // all write frames together
    int64_t checksum = 0;
    int64_t abort = 0;
};

// In a namespace of its own: a virtual handset's report has a UnitRecord too, and a test
// binary may link both. The rest of the tree names it unqualified.
namespace record {

struct UnitRecord {
    int64_t runId = 0;       // the StationRun this unit belongs to
    int64_t sequence = 0;    // unit number within the run, from 1; (runId, sequence) is unique
    std::string stationId;
    std::string operatorName;
    std::string lot;

    // The worker's port: what the operator asked for and what it resolved to.
    std::string portSelector;  // as given to the station, e.g. "usb:1-1.2" or "/dev/ttyUSB0"
    std::string device;        // the device opened, e.g. "/dev/ttyUSB0" or "COM5"
    std::string usbId;         // USB vendor:product, 4 lower-case hex digits each ("0403:6001")
    std::string usbSerial;
    std::string usbLocation;   // bus path, e.g. "1-1.2"

    std::string startedUtc;
    std::string endedUtc;
    int64_t durationMs = 0;

    std::string releaseFile;     // file name as the station was given it
    std::string releaseSha256;   // 64 lower-case hex digits
    std::string fileProductId;   // the release file's first 4 bytes, shown as productId is
    std::optional<AnnouncedRecord> announced;

    std::string mode;        // "erase", "normal" or "patch"
    int64_t speed = 0;       // line speed after the parameter exchange, bit/s
    int64_t resultCode = 0;  // the download's exit code (0 completed, 6 checksum, 12 port lost, ...)
    std::string resultMeaning;
    UnitOutcome outcome = UnitOutcome::Failed;
    std::optional<int64_t> expectedChecksum;  // 16-bit, of the image; absent before it is known
    std::optional<int64_t> reportedChecksum;  // 16-bit, as the handset reported it
    PhaseRetries retries;

    std::string toolVersion;  // tool_identity.h
    std::string toolSha256;

    // Since schema version 2; absent in older rows.
    std::optional<int64_t> abortReason;  // the result the abort handshake was started with
    std::optional<int64_t> unsentBytes;  // image bytes after the last whole block, never sent

    // Since schema version 3; empty in older rows until a writer migrates them.
    std::string attemptUuid;      // UUIDv7 (uuid7.h), unique among every station's units;
                                  // the back end makes it when the unit is recorded without one
    std::string parameterRecord;  // the handset's whole 64-byte parameter record, 128 lower-case
                                  // hex digits, as received; empty when none was received

    // Since schema version 4.
    std::string adapterDriver;                // the driver serving the port ("ftdi_sio", "FTDIBUS")
    std::optional<int64_t> adapterLatencyMs;  // the adapter's latency timer; absent when it has none
    std::string label;                        // the label scanned for the unit; empty without --scan
    std::optional<int64_t> attempt;           // 1 for a label's first unit, 2, 3 ... for rescans

    // Since schema version 7.
    std::string capture;  // the unit's capture of the line, relative to the record's folder
                          // ("captures/ATTEMPT-UUID.pcapng"); empty when none was kept

    // Since schema version 8: who signed the release the unit got, as the station checked it
    // at the run's start (docs/signing.md). Both empty when the release was not signed by a
    // trusted key.
    std::string signingKeyId;   // the trusted key's id
    std::string signedRelease;  // the release name in the signature's trusted comment
};

}  // namespace record

using record::UnitRecord;

struct StationRun {
    int64_t runId = 0;  // assigned by ProductionRecord::beginRun
    std::string stationId;
    std::string operatorName;
    std::string lot;
    std::string startedUtc;
    std::string endedUtc;  // empty while the run goes on, or when it never ended (killed)
    std::string releaseFile;
    std::string releaseSha256;
    std::string fileProductId;
    std::string mode;
    int64_t speed = 0;
    std::vector<std::string> portSelectors;
    std::string toolVersion;
    std::string toolSha256;
    int64_t unitsDone = 0;    // units that ended, whatever their outcome
    int64_t unitsFailed = 0;  // of those, the ones failed (not completed, not interrupted)
    std::string ending;       // how the run ended, the station's word ("completed", "units-failed",
                              // "record-failed", "interrupted"); empty while it goes on
    std::optional<int64_t> exitCode;  // the station's exit code; absent while it goes on
    std::string runUuid;  // since schema version 3: UUIDv7 made by beginRun when empty
};

// Which units a reader wants. Empty texts select everything.
struct UnitFilter {
    std::string sinceUtc;  // units started at or after this time (fixed form, utc_time.h)
    std::string port;      // equal to the unit's port selector or to its device
    bool notCompleted = false;  // only units whose outcome is not "completed"
    std::string label;          // equal to the unit's scanned label
};

bool unitMatches(const UnitRecord& unit, const UnitFilter& filter);

#endif
