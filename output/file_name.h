// File names as the tool holds them, UTF-8 (an operator's words are checked to be text, and
// Windows hands the command line over in UTF-8), turned into the paths the system opens and
// back. On Windows a plain std::string path would be read in the ANSI code page instead.
#ifndef TARVOLO_OUTPUT_FILE_NAME_H
#define TARVOLO_OUTPUT_FILE_NAME_H

#include <filesystem>
#include <string>

inline std::filesystem::path pathOf(const std::string& name) { return std::filesystem::u8path(name); }
inline std::string nameOf(const std::filesystem::path& path) { return path.u8string(); }

#endif
