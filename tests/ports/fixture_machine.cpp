// Building fixture machines (see fixture_machine.h).
#include "fixture_machine.h"

#include <ftw.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <vector>

#include <gtest/gtest.h>

namespace {

std::vector<std::string> partsOf(const std::string& path)
{
    std::vector<std::string> parts;
    std::stringstream in(path);
    std::string part;
    while (std::getline(in, part, '/')) {
        if (part.empty() || part == ".")
            continue;
        if (part == "..") {
            if (!parts.empty())
                parts.pop_back();
        } else {
            parts.push_back(part);
        }
    }
    return parts;
}

std::string joined(const std::vector<std::string>& parts, size_t from = 0)
{
    std::string path;
    for (size_t i = from; i < parts.size(); ++i)
        path += (path.empty() ? "" : "/") + parts[i];
    return path;
}

// `name` from folder `in`, both in the tree: an absolute, normalised tree path.
std::string resolve(const std::string& in, const std::string& name)
{
    return "/" + joined(partsOf(name[0] == '/' ? name : in + "/" + name));
}

// The relative link from the folder `from` to `to`, both absolute in the tree.
std::string relativeLink(const std::string& from, const std::string& to)
{
    const auto a = partsOf(from), b = partsOf(to);
    size_t common = 0;
    while (common < a.size() && common < b.size() && a[common] == b[common])
        ++common;
    std::string link;
    for (size_t i = common; i < a.size(); ++i)
        link += "../";
    return link + joined(b, common);
}

void makeFolders(const std::string& path)
{
    for (size_t at = path.find('/', 1); at != std::string::npos; at = path.find('/', at + 1))
        mkdir(path.substr(0, at).c_str(), 0755);
    mkdir(path.c_str(), 0755);
}

std::string folderOf(const std::string& path) { return path.substr(0, path.find_last_of('/')); }

int removeOne(const char* path, const struct stat*, int, FTW*) { return std::remove(path); }

}  // namespace

FixtureMachine::FixtureMachine(const std::string& name)
{
    char folder[] = "/tmp/tarvolo-sysfs-XXXXXX";
    root_ = mkdtemp(folder) ? folder : "";
    const std::string path = std::string(TARVOLO_PORTS_FIXTURES) + "/" + name + ".tree";
    std::ifstream description(path);
    if (root_.empty() || !description) {
        ADD_FAILURE() << "cannot build the fixture machine " << path;
        return;
    }
    std::string line;
    while (std::getline(description, line)) {
        if (!line.empty() && line[0] != '#')
            entry(line);
    }
}

FixtureMachine::~FixtureMachine()
{
    if (!root_.empty())
        nftw(root_.c_str(), removeOne, 16, FTW_DEPTH | FTW_PHYS);
}

void FixtureMachine::entry(const std::string& line)
{
    std::istringstream fields(line);
    std::string kind, name, rest;
    fields >> kind >> name;
    std::getline(fields >> std::ws, rest);
    const std::string path = resolve(in_, name);
    if (kind == "in") {
        in_ = path;
    } else if (kind == "d") {
        makeFolders(root_ + path);
    } else if (kind == "f") {
        makeFolders(root_ + folderOf(path));
        std::ofstream(root_ + path) << rest << "\n";
    } else if (kind == "l" && !rest.empty()) {
        makeFolders(root_ + folderOf(path));
        const bool inTree = rest[0] == '/' || rest == ".";
        const std::string target = inTree ? relativeLink(folderOf(path), resolve(in_, rest)) : rest;
        EXPECT_EQ(symlink(target.c_str(), (root_ + path).c_str()), 0) << line;
    } else {
        ADD_FAILURE() << "malformed fixture line: " << line;
    }
}
