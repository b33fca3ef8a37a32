// The wire vocabulary of the handset's boot loader and the download results.
//
// The host sends command frames: '<' and a command letter, with optional bytes. The handset
// answers '>' and one of eleven response letters, with optional bytes. Everything the
// engine puts on the line or recognises on it is named here.
#ifndef TARVOLO_ENGINE_WIRE_H
#define TARVOLO_ENGINE_WIRE_H

#include <cstdint>

namespace wire {

constexpr uint8_t kCommandMark = '<';   // 0x3C, first byte of every command frame
constexpr uint8_t kResponseMark = '>';  // 0x3E, first byte of every answer

// Command letters (second byte of a command frame).
constexpr uint8_t kInquiry = 'i';    // "<i", 2 bytes
constexpr uint8_t kParameter = 'p';  // '<' 'p' speedCode 0xFF, 4 bytes
constexpr uint8_t kErase = 'e';      // "<e", 2 bytes
constexpr uint8_t kWrite = 'w';      // '<' 'w' blockHi blockLo payload
constexpr uint8_t kChecksum = 'c';   // '<' 'c' sumHi sumLo, 4 bytes
constexpr uint8_t kAbort = 'a';      // "<a", 2 bytes

constexpr uint32_t kInquiryLength = 2;
constexpr uint32_t kParameterLength = 4;
constexpr uint32_t kEraseLength = 2;
constexpr uint32_t kWriteHeaderLength = 4;
constexpr uint32_t kChecksumLength = 4;
constexpr uint32_t kAbortLength = 2;
constexpr uint8_t kParameterTrailer = 0xFF;

// Response letters (after '>'). Case matters: 'p' and 'P' differ.
constexpr uint8_t kPresent = 'i';         // answer to the inquiry
constexpr uint8_t kRecordFollows = 'p';   // 64-byte parameter record follows
constexpr uint8_t kErased = 'e';          // erase finished
constexpr uint8_t kEraseRefused = 'E';    // erase refused
constexpr uint8_t kWritten = 'w';         // block written, 2-byte block number follows
constexpr uint8_t kWriteRefused = 'W';    // block refused, 1 byte of any value follows
constexpr uint8_t kHandsetSum = 'c';      // handset's checksum, 2 bytes follow
constexpr uint8_t kCompletionRefused = 'C';
constexpr uint8_t kAborted = 'a';         // abort acknowledged
constexpr uint8_t kStatusUpper = 'S';     // recognised, acted on by no state
constexpr uint8_t kStatusLower = 's';     // recognised, acted on by no state

// The recogniser's "nothing recognised yet".
constexpr uint8_t kNoResponse = '|';

// True for the eleven letters the recogniser accepts after '>'.
constexpr bool isResponseLetter(uint8_t c)
{
    return c == 'C' || c == 'E' || c == 'S' || c == 'W' || c == 'a' || c == 'c' ||
           c == 'e' || c == 'i' || c == 'p' || c == 's' || c == 'w';
}

// Speed codes of the parameter request.
constexpr uint8_t kSpeedCode19200 = '4';
constexpr uint8_t kSpeedCode28800 = '3';
constexpr uint8_t kSpeedCode38400 = '2';
constexpr uint8_t kSpeedCode57600 = '1';
constexpr uint8_t kSpeedCode115200 = '0';
constexpr uint8_t kSpeedCodeAtStart = kSpeedCode38400;

constexpr uint32_t kParameterRecordLength = 64;

// Where the 64-byte parameter record keeps what the handset announces; bytes 0-3 are its
// product identifier.
constexpr uint32_t kRecordCodeOffset = 16;       // "DOWNLD", then the protocol character
constexpr uint32_t kRecordCodeLength = 7;
constexpr uint32_t kRecordProtocolOffset = 22;   // '0' CRC-16/X-25, '1' byte sum
constexpr uint32_t kRecordBlockSizeOffset = 32;  // signed 32-bit, little-endian
constexpr uint32_t kRecordBlankByteOffset = 41;  // 0xFF: raw payloads, else the escape byte

// The block size a record announces.
inline int32_t recordBlockSize(const uint8_t* record)
{
    const uint8_t* b = record + kRecordBlockSizeOffset;
    return static_cast<int32_t>(static_cast<uint32_t>(b[0]) | static_cast<uint32_t>(b[1]) << 8 |
                                static_cast<uint32_t>(b[2]) << 16 | static_cast<uint32_t>(b[3]) << 24);
}

}  // namespace wire

// The largest block size a download accepts (result 5 beyond it): its longest write frame,
// a block of nothing but escape bytes, 2 * size + 4 bytes, still fits a signed 32-bit count.
constexpr int32_t kLargestBlockSize =
    (INT32_MAX - static_cast<int32_t>(wire::kWriteHeaderLength)) / 2;

// The outcome of a download, handed to the front end by postResult.
enum DownloadResult : int {
    kResultCompleted = 0,           // handset's checksum equals ours
    kResultFileNotOpened = 1,       // release file could not be opened
    kResultProductMismatch = 2,     // product id mismatch, or erase-and-download needed
    kResultNoWholeBlock = 3,        // the image holds no whole block: nothing to erase for
    kResultHandsetAborted = 4,      // handset acknowledged our abort
    kResultBlockSizeTooLarge = 5,   // block buffers could not be allocated
    kResultChecksumFailed = 6,      // completion refused, or checksums differ
    kResultIncompatibleCode = 8,    // handset's download code is not ours
};

// Download modes.
enum DownloadMode : int {
    kModeEraseAndDownload = 0,
    kModeNormal = 1,
    kModePatch = 2,
};

// Checksum kinds chosen by the handset's protocol character.
enum ChecksumKind : int {
    kChecksumCrc = 0,      // CRC-16/X-25
    kChecksumByteSum = 1,  // 16-bit sum of the image bytes
};

#endif
