// Replacing a file by a complete new one in one step, so that a reader never sees a half
// written file. One platform file each (file_replace_posix.cpp, file_replace_win32.cpp).
#ifndef TARVOLO_SETTINGS_FILE_REPLACE_H
#define TARVOLO_SETTINGS_FILE_REPLACE_H

// Moves `from` over `to`, replacing any existing `to`. False when it cannot.
bool replaceFile(const char* from, const char* to);

#endif
