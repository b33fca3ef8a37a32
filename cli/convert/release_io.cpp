// Reading the build file and writing the release file. The release file is written under a
// temporary name beside its final path and renamed over it only when complete: a failed
// conversion must not leave a half-written file that a download would then send to a handset.
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <memory>
#include <random>

#include "cli/convert/convert.h"
#include "cli/convert/convert_error.h"
#include "cli/convert/platform_file.h"

namespace convert {
namespace {

// No build file for a handset is this large, however much debugging data an ELF file carries.
constexpr uint64_t kMaxSourceSize = 1024ull * 1024 * 1024;

std::string errnoText()
{
    return std::strerror(errno);
}

struct FileCloser {
    void operator()(std::FILE* f) const { std::fclose(f); }
};
using File = std::unique_ptr<std::FILE, FileCloser>;

std::vector<uint8_t> readSource(const std::string& path)
{
    File file(std::fopen(path.c_str(), "rb"));
    if (!file)
        throw ConvertError("cannot open: " + errnoText());
    std::vector<uint8_t> bytes;
    uint8_t chunk[64 * 1024];
    size_t n;
    while ((n = std::fread(chunk, 1, sizeof chunk, file.get())) > 0) {
        if (bytes.size() + n > kMaxSourceSize)
            throw ConvertError("larger than any build file (over 1 GiB)");
        bytes.insert(bytes.end(), chunk, chunk + n);
    }
    if (std::ferror(file.get()))
        throw ConvertError("cannot read: " + errnoText());
    return bytes;
}

std::string temporaryBeside(const std::string& path)
{
    std::random_device random;
    char suffix[24];
    std::snprintf(suffix, sizeof suffix, ".%08x.tmp", static_cast<unsigned>(random()));
    return path + suffix;
}

void writeAll(std::FILE* file, const std::string& productId, const std::vector<uint8_t>& image)
{
    if (std::fwrite(productId.data(), 1, productId.size(), file) != productId.size() ||
        std::fwrite(image.data(), 1, image.size(), file) != image.size() || !flushToDisk(file))
        throw ConvertError("cannot write: " + errnoText());
}

// The file a conversion writes: a symbolic link's final target, so that the link stays.
std::string outputTarget(const std::string& path)
{
    namespace fs = std::filesystem;
    fs::path p = path;
    std::error_code ec;
    for (int hops = 0; hops < 40 && fs::is_symlink(p, ec); ++hops) {
        const fs::path target = fs::read_symlink(p, ec);
        if (ec)
            break;
        p = target.is_absolute() ? target : p.parent_path() / target;
    }
    return p.string();
}

// A device, a FIFO or a folder would be replaced by a regular file (as root, /dev/null too);
// the build file itself would be lost.
void checkOutput(const std::string& source, const std::string& release, const std::string& target)
{
    std::error_code ec;
    const std::filesystem::file_status status = std::filesystem::status(target, ec);
    if (std::filesystem::exists(status) && !std::filesystem::is_regular_file(status))
        throw ConvertError(release + ": not a regular file (a device, FIFO or folder); not replaced");
    if (!isReleaseFileName(source) && sameFile(source, target))
        throw ConvertError(release + ": is the build file " + source + " itself; not replaced");
}

// Fills the image up to whole blocks: a download sends whole blocks only.
void padToBlocks(std::vector<uint8_t>& image, const ConvertOptions& options)
{
    if (options.blockSize == 0 || image.size() % options.blockSize == 0)
        return;
    const size_t padding = options.blockSize - image.size() % options.blockSize;
    image.insert(image.end(), padding, options.blank);
    if (options.report)
        options.report->paddingBytes = padding;
}

}  // namespace

void writeRelease(const std::string& path, const std::string& productId,
                  const std::vector<uint8_t>& image)
{
    checkProductId(productId);
    const std::string temporary = temporaryBeside(path);
    try {
        File file(std::fopen(temporary.c_str(), "wb"));
        if (!file)
            throw ConvertError("cannot create " + temporary + ": " + errnoText());
        writeAll(file.get(), productId, image);
        if (std::fclose(file.release()) != 0)
            throw ConvertError("cannot write: " + errnoText());
        std::string why;
        if (!replaceFile(temporary, path, why))
            throw ConvertError("cannot replace it: " + why);
    } catch (const ConvertError& e) {
        std::remove(temporary.c_str());
        throw ConvertError(path + ": " + e.what());
    }
}

size_t convertFile(const std::string& source, const std::string& release,
                 const ConvertOptions& options)
{
    try {
        checkProductId(options.productId);
    } catch (const ConvertError& e) {
        throw ConvertError(std::string("--product-id: ") + e.what());
    }
    const std::string target = outputTarget(release);
    checkOutput(source, release, target);
    std::vector<uint8_t> image;
    try {
        const std::vector<uint8_t> bytes = readSource(source);
        image = imageOf(source, ByteView{bytes.data(), bytes.size()}, options);
    } catch (const ConvertError& e) {
        throw ConvertError(source + ": " + e.what());
    }
    if (options.report)
        options.report->imageBytes = image.size();
    padToBlocks(image, options);
    writeRelease(target, options.productId, image);
    return image.size();
}

}  // namespace convert
