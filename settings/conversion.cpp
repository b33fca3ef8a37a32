// Building the conversion call (see conversion.h for why the values travel in variables).
#include "settings/conversion.h"

#include <cctype>
#include <initializer_list>

namespace {

constexpr const char kVariablePrefix[] = "TARVOLO_CONVERT_ARG";

std::string lowerCase(std::string text)
{
    for (char& c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

bool passable(const std::string& value)
{
    for (char c : value)
        if (c == '"' || static_cast<unsigned char>(c) < 0x20)
            return false;
    return true;
}

}  // namespace

static bool sameIgnoringCase(const char* a, const char* b)
{
    for (; *a && *b; ++a, ++b)
        if (std::toupper(static_cast<unsigned char>(*a)) != std::toupper(static_cast<unsigned char>(*b)))
            return false;
    return *a == *b;
}

bool isRecognisedSourceExtension(const char* ext)
{
    for (const char* known : {".REL", ".BIN", ".MOT", ".SRE", ".ABS", ".LZH"})
        if (sameIgnoringCase(ext, known))
            return true;
    return false;
}

bool isReleaseExtension(const char* ext)
{
    return sameIgnoringCase(ext, ".REL");
}

bool buildConversionCall(const PathRecord& source, const PathRecord& release,
                         const char* productId, ConversionCall* call, std::string* reason)
{
    const std::vector<std::string> values = {
        lowerCase(source.driveDir), lowerCase(source.fname), lowerCase(source.ext),
        lowerCase(release.driveDir), lowerCase(release.fname), productId};
    call->environment.clear();
    // /d: no AutoRun commands; /v:off: ! is literal; /s /c "...": the outer quotes are
    // removed and the rest is taken as it stands.
    std::string line = "cmd.exe /d /v:off /s /c \"" + lowerCase(kBatchFileName);
    for (size_t i = 0; i < values.size(); ++i) {
        if (!passable(values[i])) {
            *reason = i == 5 ? "The product ID holds a character that cannot be passed on."
                             : "The file name holds a character that cannot be passed on.";
            return false;
        }
        // An empty variable cannot be referenced reliably (an undefined one stays as its
        // name): an empty value is passed as an empty quoted argument instead.
        if (values[i].empty()) {
            line += " \"\"";
            continue;
        }
        const std::string name = kVariablePrefix + std::to_string(i + 1);
        call->environment.emplace_back(name, values[i]);
        line += " \"%" + name + "%\"";
    }
    call->commandLine = line + "\"";
    return true;
}

std::vector<std::string> batchArguments(const ConversionCall& call)
{
    // Expand the references once, left to right, as the interpreter does.
    std::string line = call.commandLine;
    const std::string head = "/s /c \"";
    std::string body = line.substr(line.find(head) + head.size());
    body.pop_back();  // the closing quote that /s removes
    std::string expanded;
    for (size_t i = 0; i < body.size(); ++i) {
        if (body[i] == '%') {
            const size_t end = body.find('%', i + 1);
            const std::string name = body.substr(i + 1, end - i - 1);
            for (const auto& [variable, value] : call.environment)
                if (variable == name)
                    expanded += value;
            i = end;
            continue;
        }
        expanded += body[i];
    }
    // Split as a batch file does: blanks separate outside quotes; %~n drops the quotes.
    std::vector<std::string> arguments;
    std::string current;
    bool quoted = false, inArgument = false;
    for (char c : expanded) {
        if (c == '"') {
            quoted = !quoted;
            inArgument = true;
        } else if (c == ' ' && !quoted) {
            if (inArgument)
                arguments.push_back(current);
            current.clear();
            inArgument = false;
        } else {
            current += c;
            inArgument = true;
        }
    }
    if (inArgument)
        arguments.push_back(current);
    return arguments;
}
