// The common-dialog error table.
#include "shell/dialog_errors.h"

#include "resources/resource.h"

namespace {

struct ErrorEntry {
    uint32_t code;
    int stringId;
};

constexpr ErrorEntry kErrors[] = {
    {0xFFFF, IDS_CDERR_DIALOGFAILURE},     {0x0001, IDS_CDERR_STRUCTSIZE},
    {0x0002, IDS_CDERR_INITIALIZATION},    {0x0003, IDS_CDERR_NOTEMPLATE},
    {0x0004, IDS_CDERR_NOHINSTANCE},       {0x0005, IDS_CDERR_LOADSTRFAILURE},
    {0x0006, IDS_CDERR_FINDRESFAILURE},    {0x0007, IDS_CDERR_LOADRESFAILURE},
    {0x0008, IDS_CDERR_LOCKRESFAILURE},    {0x0009, IDS_CDERR_MEMALLOCFAILURE},
    {0x000A, IDS_CDERR_MEMLOCKFAILURE},    {0x000B, IDS_CDERR_NOHOOK},
    {0x1001, IDS_PDERR_SETUPFAILURE},      {0x1002, IDS_PDERR_PARSEFAILURE},
    {0x1003, IDS_PDERR_RETDEFFAILURE},     {0x1004, IDS_PDERR_LOADDRVFAILURE},
    {0x1005, IDS_PDERR_GETDEVMODEFAIL},    {0x1006, IDS_PDERR_INITFAILURE},
    {0x1007, IDS_PDERR_NODEVICES},         {0x1008, IDS_PDERR_NODEFAULTPRN},
    {0x1009, IDS_PDERR_DNDMMISMATCH},      {0x100A, IDS_PDERR_CREATEICFAILURE},
    {0x100B, IDS_PDERR_PRINTERNOTFOUND},   {0x2001, IDS_CFERR_NOFONTS},
    {0x3001, IDS_FNERR_SUBCLASSFAILURE},   {0x3002, IDS_FNERR_INVALIDFILENAME},
    {0x3003, IDS_FNERR_BUFFERTOOSMALL},
};

}  // namespace

int dialogErrorStringId(uint32_t code)
{
    if (code == 0)
        return 0;
    for (const ErrorEntry& e : kErrors)
        if (e.code == code)
            return e.stringId;
    return IDS_UNKNOWN_ERROR;
}
