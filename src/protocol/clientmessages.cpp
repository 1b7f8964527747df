#include "protocol/clientmessages.h"

#include "protocol/protocol.h"

#include <climits>
#include <wctype.h>

namespace nvupdater {
namespace protocol {

namespace {

// The numbered messages are read as text up to their first null unit.
class Reader {
public:
    explicit Reader(const std::wstring &message) : at_(message.c_str()) {}

    bool AtEnd() const { return *at_ == L'\0'; }
    void SkipBlanks()
    {
        while (!AtEnd() && iswspace(*at_))
            ++at_;
    }
    // Exactly `word`, nothing skipped before it.
    bool Take(const wchar_t *word)
    {
        const wchar_t *from = at_;
        for (; *word; ++word, ++from) {
            if (*from != *word)
                return false;
        }
        at_ = from;
        return true;
    }
    // After any blanks, at most `most` non-blank units; false when there is none.
    bool Token(size_t most, std::wstring &token)
    {
        SkipBlanks();
        token.clear();
        while (!AtEnd() && !iswspace(*at_) && token.size() < most)
            token += *at_++;
        return !token.empty();
    }
    // After any blanks, an optional sign and decimal digits, within [low, high] (low <= 0 <= high).
    bool Number(long long low, long long high, long long &value)
    {
        SkipBlanks();
        const bool negative = *at_ == L'-';
        if (*at_ == L'-' || *at_ == L'+')
            ++at_;
        if (*at_ < L'0' || *at_ > L'9')
            return false;
        const unsigned long long limit =
            negative ? 0ull - static_cast<unsigned long long>(low) : static_cast<unsigned long long>(high);
        unsigned long long magnitude = 0;
        for (; *at_ >= L'0' && *at_ <= L'9'; ++at_) {
            const unsigned digit = static_cast<unsigned>(*at_ - L'0');
            if (magnitude > (limit - digit) / 10)
                return false;
            magnitude = magnitude * 10 + digit;
        }
        value = negative ? static_cast<long long>(0ull - magnitude) : static_cast<long long>(magnitude);
        return true;
    }

private:
    const wchar_t *at_;
};

const wchar_t kGreetingCode[] = L"200";
const wchar_t kResultCode[] = L"220";
const wchar_t kResultWord[] = L"RESULT";

// "220 RESULT" with its blanks optional, and the number after it.
bool readResult(Reader &reader, long long low, long long high, long long &value)
{
    if (!reader.Take(kResultCode))
        return false;
    reader.SkipBlanks();
    return reader.Take(kResultWord) && reader.Number(low, high, value);
}

bool endsWith(const std::wstring &text, const std::wstring &end)
{
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

} // namespace

bool ParseGreeting(const std::wstring &message, Greeting &greeting)
{
    Reader reader(message);
    long long version = 0;
    if (!reader.Take(kGreetingCode) || !reader.Token(kMaxIdentityUnits, greeting.identity) ||
        !reader.Number(INT_MIN, INT_MAX, version))
        return false;
    greeting.version = static_cast<int>(version);
    return true;
}

bool ParseInstallationResult(const std::wstring &message, int &result)
{
    Reader reader(message);
    long long value = 0;
    if (!readResult(reader, INT_MIN, INT_MAX, value))
        return false;
    result = static_cast<int>(value);
    return true;
}

bool ParseDecision(const std::wstring &message, long &decision)
{
    Reader reader(message);
    long long value = 0;
    if (!readResult(reader, LONG_MIN, LONG_MAX, value) || !reader.AtEnd())
        return false;
    decision = static_cast<long>(value);
    return true;
}

bool ParsePackageCommand(const std::wstring &message, PackageCommand &command)
{
    const std::wstring package(kPackagePrefix);
    const std::wstring transformsPart(kTransformsPart);
    // The marker that makes a command one with transforms, wherever it stands.
    const std::wstring marker(transformsPart, 0, transformsPart.size() - 1);
    // Read as text, the command would end at a null unit: one inside it leaves no whole command.
    if (message.compare(0, package.size(), package) != 0 || message.find(L'\0') != std::wstring::npos)
        return false;
    const size_t pathEnd = message.find(L'"', package.size());
    if (pathEnd == std::wstring::npos)
        return false;
    std::wstring path = message.substr(package.size(), pathEnd - package.size());
    // A path that ends as the package part begins would read as a second package part.
    if (endsWith(path, package.substr(0, package.size() - 1)))
        return false;
    const std::wstring rest = message.substr(pathEnd + 1);
    if (rest.empty()) {
        if (path.find(marker) != std::wstring::npos)
            return false;
        command.packagePath = std::move(path);
        command.transforms.clear();
        return true;
    }
    // A path that ends as the transforms part begins would read as the start of the transforms.
    if (rest.compare(0, transformsPart.size(), transformsPart) != 0 || rest.size() == transformsPart.size() ||
        rest.back() != L'"' || endsWith(path, transformsPart.substr(1, transformsPart.size() - 2)))
        return false;
    command.packagePath = std::move(path);
    command.transforms = rest.substr(transformsPart.size(), rest.size() - transformsPart.size() - 1);
    return true;
}

} // namespace protocol
} // namespace nvupdater
