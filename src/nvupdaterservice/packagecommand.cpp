// The Setup Wrapper's package command: the path, and optionally the transforms, each in double
// quotes. The parts are cut out loosely and then accepted only if the command rebuilt from them is
// the received one, unit for unit: no text before the code or after the last quote, single blanks,
// no quote inside the path.
#include "protocol.h"
#include "updatercomm.h"
#include "widetext.h"

namespace nvupdater {

namespace {

using protocol::kPackagePrefix;
using protocol::kTransformsPart;
// ` TRANSFORMS "` without its quote marks where transforms begin; without its blank it is what
// they follow.
const std::wstring kTransformsMarker(kTransformsPart, wcslen(kTransformsPart) - 1);
const wchar_t *const kTransformsPrefix = kTransformsPart + 1;
const wchar_t kInvalidCommand[] = L"Invalid command: %ls";

// The command without any `210 PACKAGE "`, cut before its first double quote.
std::wstring packagePathOf(std::wstring command)
{
    const std::wstring prefix(kPackagePrefix);
    for (size_t at = command.find(prefix); at != std::wstring::npos; at = command.find(prefix, at))
        command.erase(at, prefix.size());
    size_t quote = command.find(L'"');
    return quote == std::wstring::npos ? std::wstring() : command.substr(0, quote);
}

// From after the first `TRANSFORMS "` up to, not including, the command's last unit.
std::wstring transformsOf(const std::wstring &command)
{
    const std::wstring prefix(kTransformsPrefix);
    size_t at = command.find(prefix);
    if (at == std::wstring::npos)
        return std::wstring();
    size_t first = at + prefix.size();
    return first < command.size() ? command.substr(first, command.size() - 1 - first) : std::wstring();
}

} // namespace

int UpdaterComm::ParsePackageCommand(const std::wstring &command, std::wstring &packagePath, std::wstring &transforms)
{
    size_t marker = command.find(kTransformsMarker);
    bool withTransforms = marker != std::wstring::npos && marker > 0;

    packagePath = packagePathOf(command);
    transforms = withTransforms ? transformsOf(command) : std::wstring();

    std::wstring expected = kPackagePrefix + packagePath + L"\"";
    if (withTransforms)
        expected += kTransformsPart + transforms + L"\"";
    if (expected == command)
        return 0;

    log_->Write(FormatText(kInvalidCommand, command.c_str()), LogError);
    return -1;
}

} // namespace nvupdater
