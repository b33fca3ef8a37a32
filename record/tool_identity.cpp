// The tool's version (tarvolo_version.h) and its executable's digest.
#include "record/tool_identity.h"

#include "record/sha256.h"
#include "tarvolo_version.h"

bool identifyTool(ToolIdentity* identity, std::string* error)
{
    identity->version = "tarvolo " TARVOLO_VERSION;
    const std::string path = runningExecutablePath();
    if (path.empty()) {
        *error = "cannot find the running executable to take its SHA-256";
        return false;
    }
    return sha256File(path, &identity->sha256, error);
}
