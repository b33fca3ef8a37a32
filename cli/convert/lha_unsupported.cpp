// Stand-in for the LHA reader where liblhasa is not available (the Windows build: Debian
// packages the library for Linux only).
#include "cli/convert/convert_error.h"
#include "cli/convert/readers.h"

namespace convert {

ArchiveMember unpackLha(ByteView, uint64_t)
{
    throw ConvertError("LHA archives are not supported in this build");
}

}  // namespace convert
