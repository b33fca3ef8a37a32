// The words for how a download ended (see results.h).
#include "session/results.h"

#include "engine/wire.h"

const char* resultMeaning(int code)
{
    switch (code) {
    case kResultCompleted: return "download completed";
    case kResultFileNotOpened: return "the release file could not be opened";
    case kResultProductMismatch: return "product identifier mismatch, or the handset needs erase-and-download mode";
    case kResultNoWholeBlock: return "the image holds no whole block for the handset's block size";
    case kResultHandsetAborted: return "the handset acknowledged the abort";
    case kResultBlockSizeTooLarge: return "the handset's block size is too large";
    case kResultChecksumFailed: return "the handset refused the completion, or the checksums differ";
    case kResultIncompatibleCode: return "the handset's download code is incompatible";
    case kExitPortNotOpened: return "the port could not be opened";
    case kExitGaveUp: return "no handset answered";
    case kExitPortLost: return "the port went away (adapter unplugged?)";
    case kExitWorkerLost: return "the worker process of the port ended unexpectedly";
    case kExitHandsetSilent: return "the handset stopped answering";
    case kExitWorkerHung: return "the worker process of the port stopped reporting and was ended";
    case kExitInterrupted: return "interrupted by the operator";
    default: return "unknown result";
    }
}

std::string unsentWarning(int64_t unsentBytes, int64_t blockSize)
{
    const std::string count = std::to_string(unsentBytes) + (unsentBytes == 1 ? " byte" : " bytes");
    return "Warning: " + count + " at the end of the image will not be sent (not a whole " +
           std::to_string(blockSize) + "-byte block)";
}
