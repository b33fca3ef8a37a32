// The station's capture folder (see capture_store.h).
#include "capture/capture_store.h"

#include <algorithm>
#include <filesystem>
#include <system_error>
#include <vector>

namespace fs = std::filesystem;

std::string captureFolderFor(const std::string& recordPath)
{
    const fs::path parent = fs::path(recordPath).parent_path();
    return (parent.empty() ? fs::path("captures") : parent / "captures").string();
}

bool isCaptureName(const std::string& name)
{
    static const char kSuffix[] = ".pcapng";
    if (name.size() != 36 + sizeof kSuffix - 1 || name.compare(36, std::string::npos, kSuffix) != 0)
        return false;
    for (size_t i = 0; i < 36; ++i) {
        const char c = name[i];
        const bool dash = i == 8 || i == 13 || i == 18 || i == 23;
        if (dash ? c != '-' : !((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f')))
            return false;
    }
    return true;
}

size_t pruneCaptures(const CaptureStorePolicy& policy)
{
    struct Kept {
        fs::path path;
        fs::file_time_type changed;
        uint64_t size;
    };
    std::error_code ec;
    std::vector<Kept> kept;
    for (fs::directory_iterator it(policy.folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (!isCaptureName(it->path().filename().string()) || !it->is_regular_file(ec))
            continue;
        std::error_code one;
        const auto changed = it->last_write_time(one);
        const auto size = it->file_size(one);
        if (!one)
            kept.push_back({it->path(), changed, size});
    }
    std::sort(kept.begin(), kept.end(), [](const Kept& a, const Kept& b) { return a.changed > b.changed; });
    const auto now = fs::file_time_type::clock::now();
    const auto maxAge = std::chrono::duration_cast<fs::file_time_type::duration>(
        std::chrono::duration<double, std::ratio<86400>>(policy.maxAgeDays));
    size_t removed = 0;
    uint64_t total = 0;
    for (const Kept& k : kept) {
        total += k.size;
        const bool tooOld = policy.maxAgeDays > 0 && now - k.changed > maxAge;
        const bool tooMuch = policy.totalLimitBytes > 0 && total > policy.totalLimitBytes;
        if ((tooOld || tooMuch) && fs::remove(k.path, ec))
            ++removed;
    }
    return removed;
}
