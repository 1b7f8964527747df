// The package signer check: is the embedded signature trusted, and who made it.
#include "inspection/signercheck.h"

#include "inspection/embeddedsignature.h"

#include "tiny/unique.h"

#include <wincrypt.h>
#include <wintrust.h>
#include <softpub.h>

#include <vector>

namespace nvupdater {

namespace {

const DWORD kProviderFlags = 0x100;                          // WTD_SAFER_FLAG
const LONG kNameNotFound = static_cast<LONG>(0x80092004u);   // CRYPT_E_NOT_FOUND

LONG lastError() { return static_cast<LONG>(GetLastError()); }

// The file, opened for reading as the path names it, for the checks by path.
norvo::tiny::UniqueFile openForChecks(const std::wstring &path)
{
    return norvo::tiny::UniqueFile(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

// The verification's state, closed by a second call whatever the first one found.
class TrustState {
public:
    TrustState(HANDLE file, const std::wstring &path)
    {
        // The handle is what is verified; the path only tells the platform the file's kind.
        information_.cbStruct = sizeof(information_);
        information_.pcwszFilePath = path.c_str();
        information_.hFile = file;
        data_.cbStruct = sizeof(data_);
        data_.dwUIChoice = WTD_UI_NONE;
        data_.fdwRevocationChecks = WTD_REVOKE_NONE;
        data_.dwUnionChoice = WTD_CHOICE_FILE;
        data_.pFile = &information_;
        data_.dwStateAction = WTD_STATEACTION_VERIFY;
        data_.dwProvFlags = kProviderFlags;
        data_.dwUIContext = WTD_UICONTEXT_EXECUTE;
        verdict_ = WinVerifyTrust(nullptr, &action_, &data_);
    }
    ~TrustState()
    {
        data_.dwStateAction = WTD_STATEACTION_CLOSE;
        (void)WinVerifyTrust(nullptr, &action_, &data_);   // releases the state; nothing to decide
    }
    TrustState(const TrustState &) = delete;
    TrustState &operator=(const TrustState &) = delete;

    LONG verdict() const { return verdict_; }

    // The leaf of the chain built for the first signer, or null when the verification built none.
    PCCERT_CONTEXT signerCertificate() const
    {
        CRYPT_PROVIDER_DATA *provider = data_.hWVTStateData ? WTHelperProvDataFromStateData(data_.hWVTStateData)
                                                             : nullptr;
        if (!provider)
            return nullptr;
        CRYPT_PROVIDER_SGNR *signer = WTHelperGetProvSignerFromChain(provider, 0, FALSE, 0);
        if (!signer || signer->csCertChain == 0 || !signer->pasCertChain)
            return nullptr;
        return signer->pasCertChain[0].pCert;
    }

private:
    GUID action_ = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    WINTRUST_FILE_INFO information_ = {};
    WINTRUST_DATA data_ = {};
    LONG verdict_ = 0;
};

LONG readName(PCCERT_CONTEXT certificate, std::wstring &name)
{
    DWORD length = CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0)
        return kNameNotFound;
    std::vector<wchar_t> text(length, L'\0');
    if (CertGetNameStringW(certificate, CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text.data(), length) == 0)
        return kNameNotFound;
    name.assign(text.data());
    return 0;
}

} // namespace

VerifiedSignature VerifySignature(HANDLE file, const std::wstring &path)
{
    VerifiedSignature result;
    // A file that carries no signature has no signer: read through the held handle, as ever.
    std::vector<BYTE> embedded;
    result.signer = ReadEmbeddedSignature(file, embedded);
    const TrustState state(file, path);
    result.trust = state.verdict();
    if (result.signer != 0)
        return result;
    // The signer's certificate, even when its chain is not trusted: the publisher checks report it.
    const PCCERT_CONTEXT certificate = state.signerCertificate();
    result.signer = certificate ? readName(certificate, result.name) : kNameNotFound;
    return result;
}

LONG MatchPublisher(const VerifiedSignature &signature, const std::wstring &publisher)
{
    if (signature.signer != 0)
        return signature.signer;
    // Whole and case-sensitive: a name with more after it, or in other letter case, is another name.
    return signature.name == publisher ? 0 : -1;
}

LONG VerifyPackageTrust(const std::wstring &path)
{
    const norvo::tiny::UniqueFile file = openForChecks(path);
    return file ? VerifySignature(file.get(), path).trust : lastError();
}

LONG CheckPackagePublisher(const std::wstring &path, const std::wstring &publisher)
{
    const norvo::tiny::UniqueFile file = openForChecks(path);
    return file ? MatchPublisher(VerifySignature(file.get(), path), publisher) : lastError();
}

} // namespace nvupdater
