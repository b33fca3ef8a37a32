// Writing a key, a signature or a list whole: the text goes to a file beside the target that
// is then renamed over it, so that a reader (a station, minisign) never finds half of one and
// an error leaves the old file as it was. A secret key's file is made readable by its owner
// alone before a byte of the key goes into it.
#ifndef TARVOLO_SIGNING_WHOLE_FILE_H
#define TARVOLO_SIGNING_WHOLE_FILE_H

#include <string>

enum class FileUse { Public, Secret };

// False with "cannot write PATH: reason"; nothing is left behind then.
bool writeWholeFile(const std::string& path, const std::string& text, FileUse use, std::string* error);

#endif
