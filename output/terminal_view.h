// The pieces of a live terminal display, shared by the download's status lines and the
// station's table: a block of lines redrawn in place, a progress bar, durations, rates and
// columns that cut a name so that rows stay told apart. Everything printed through LiveBlock
// passes terminalSafe first: no control byte of any origin reaches the terminal.
#ifndef TARVOLO_OUTPUT_TERMINAL_VIEW_H
#define TARVOLO_OUTPUT_TERMINAL_VIEW_H

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

class LiveBlock {
public:
    explicit LiveBlock(int columns, std::FILE* out = stdout);
    // Replaces what the last draw put on the screen. Each line is cut to the terminal's width:
    // a wrapped line would throw the next redraw out of place. A line may hold '\n's.
    void draw(const std::vector<std::string>& lines);
    // Prints a line of its own above the block; the next draw starts under it.
    void printAbove(const std::string& line);

private:
    std::FILE* out_;
    size_t width_;
    int drawnLines_ = 0;
};

// "[#####-----]": `width` marks between the brackets, filled as far as done/total.
std::string progressBar(int64_t done, int64_t total, int width);
// "4:07" under an hour, "1:04:07" from one; "--:--" when not known (negative).
std::string formatDuration(double seconds);
// "5120 B/s"; empty when nothing has been measured yet.
std::string formatRate(double bytesPerSecond);
// The text padded to `width` columns. When wider, its end is kept after "…" (where names
// differ: "…/ttyUSB3", a serial number), or with `keepStart` its start before "…" (a name
// followed by what it is).
std::string fitColumn(const std::string& text, size_t width, bool keepStart = false);
// Names for one column: the folder all of them share, when any of them is too wide, becomes
// "…", so that `/tmp/x/ttyPORT1` and `/tmp/x/ttyPORT2` read `…/ttyPORT1` and `…/ttyPORT2`.
std::vector<std::string> distinctNames(const std::vector<std::string>& names, size_t width);

#endif
