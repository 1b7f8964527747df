// Reading the client's messages: the greeting's reply, the package command, the installation result,
// and for the reference client the service's decision. Each reader takes the whole message and says
// whether it has the form; a number outside the range of its type is no number.
#pragma once

#include <string>

namespace nvupdater {
namespace protocol {

// `200 <identity> <version>`: the identity is the first at most kMaxIdentityUnits non-blank units;
// blanks may stand between the parts (and none after "200 " is needed); what follows the version is
// not read.
struct Greeting {
    std::wstring identity;
    int version = 0;
};
bool ParseGreeting(const std::wstring &message, Greeting &greeting);

// `210 PACKAGE "path"` or `210 PACKAGE "path" TRANSFORMS "transforms"`, unit for unit: nothing
// before the code or after the last quote, single blanks, no quote inside the path, no null unit
// anywhere. The transforms are everything between their first quote and the message's last one.
struct PackageCommand {
    std::wstring packagePath;
    std::wstring transforms;
};
bool ParsePackageCommand(const std::wstring &message, PackageCommand &command);

// `220 RESULT <number>` as the service reads the client's installation result: blanks around
// "RESULT" are optional, what follows the number is not read.
bool ParseInstallationResult(const std::wstring &message, int &result);

// `220 RESULT <number>` as the reference client reads the service's decision: the number ends the
// message.
bool ParseDecision(const std::wstring &message, long &decision);

} // namespace protocol
} // namespace nvupdater
