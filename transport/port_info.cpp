// What port discovery shares across platforms: the kind's name and the order of names.
#include <algorithm>
#include <cctype>

#include "transport/port_discovery.h"

const char* portKindName(PortKind kind)
{
    switch (kind) {
    case PortKind::Usb: return "usb";
    case PortKind::Pci: return "pci";
    case PortKind::Builtin: return "builtin";
    case PortKind::Other: break;
    }
    return "other";
}

bool portNameLess(const std::string& a, const std::string& b)
{
    size_t i = 0, j = 0;
    while (i < a.size() && j < b.size()) {
        if (std::isdigit(static_cast<unsigned char>(a[i])) && std::isdigit(static_cast<unsigned char>(b[j]))) {
            size_t endA = i, endB = j;
            while (endA < a.size() && std::isdigit(static_cast<unsigned char>(a[endA])))
                ++endA;
            while (endB < b.size() && std::isdigit(static_cast<unsigned char>(b[endB])))
                ++endB;
            // Equal numbers of different widths ("01", "1") fall through to the text order.
            const std::string numA = a.substr(i, endA - i), numB = b.substr(j, endB - j);
            const std::string trimA = numA.substr(std::min(numA.find_first_not_of('0'), numA.size()));
            const std::string trimB = numB.substr(std::min(numB.find_first_not_of('0'), numB.size()));
            if (trimA.size() != trimB.size())
                return trimA.size() < trimB.size();
            if (trimA != trimB)
                return trimA < trimB;
            i = endA;
            j = endB;
            continue;
        }
        if (a[i] != b[j])
            return a[i] < b[j];
        ++i;
        ++j;
    }
    if ((i < a.size()) != (j < b.size()))
        return j < b.size();
    return a < b;
}
