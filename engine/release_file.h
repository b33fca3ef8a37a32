// The release file (four-byte product identifier, then the flash image) and the handset's
// 64-byte parameter record, with the compatibility check between them.
#ifndef TARVOLO_ENGINE_RELEASE_FILE_H
#define TARVOLO_ENGINE_RELEASE_FILE_H

#include <cstdint>
#include <cstdio>

struct Engine;

// Results of checkParameterRecord.
enum RecordCheck : int32_t {
    kRecordValid = 0,
    kRecordIncompatibleCode = 1,  // no "DOWNLD", protocol character not '0'/'1', block size < 1
    kRecordProductMismatch = 2,   // identifiers differ, or the file holds fewer than 4 bytes
    kRecordNeedsErase = 3,        // protocol '0' outside erase-and-download mode
};

// Opens the release file for reading (closing one already open); nullptr when it cannot.
FILE* openReleaseFile(Engine& engine, const char* path);
// Closes the release file if one is open.
void closeReleaseFile(Engine& engine);
// Reads up to n bytes of the release file; returns how many were read.
uint32_t readImage(Engine& engine, uint8_t* buffer, uint32_t n);
// Bytes of the open release file after the product identifier, or -1 when unknown.
int64_t imageLength(Engine& engine);
// Whole file length (identifier included) divided by blockSize.
int32_t countBlocks(Engine& engine);
// Checks engine.parameterRecord against the engine and the release file.
int32_t checkParameterRecord(Engine& engine);

#endif
