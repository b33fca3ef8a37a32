// The one error type of the build-file converters. Readers throw it with the reason alone;
// the layer that knows the file name puts the name in front, so every message a user sees
// names the file and says what is wrong with it.
#ifndef TARVOLO_CLI_CONVERT_CONVERT_ERROR_H
#define TARVOLO_CLI_CONVERT_CONVERT_ERROR_H

#include <stdexcept>
#include <string>

namespace convert {

class ConvertError : public std::runtime_error {
public:
    explicit ConvertError(const std::string& reason) : std::runtime_error(reason) {}
};

// "0x8C010000": addresses in messages are always hexadecimal.
std::string hexAddress(unsigned long long value);

}  // namespace convert

#endif
