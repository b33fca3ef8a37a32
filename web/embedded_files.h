// The files every page is made of, compiled into the program (cmake/EmbedFiles.cmake makes
// their source from web/assets and Debian's Chart.js at build time): a page loads nothing from
// anywhere else, and a factory network without the internet serves it whole.
#ifndef TARVOLO_WEB_EMBEDDED_FILES_H
#define TARVOLO_WEB_EMBEDDED_FILES_H

#include <cstddef>
#include <string>

struct EmbeddedFile {
    const char* name;         // "station.js"
    const char* contentType;  // "text/javascript; charset=utf-8"
    const unsigned char* data;
    size_t size;
};

// nullptr for a name that is not one of them.
const EmbeddedFile* embeddedFile(const std::string& name);

#endif
