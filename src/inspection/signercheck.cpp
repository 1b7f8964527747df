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

using norvo::tiny::UniqueCertContext;
using norvo::tiny::UniqueCertStore;
using norvo::tiny::UniqueCryptMsg;

const DWORD kProviderFlags = 0x100;                 // WTD_SAFER_FLAG
const LONG kOutOfMemory = static_cast<LONG>(0x8007000Eu);
const LONG kNameNotFound = static_cast<LONG>(0x80092004u);   // CRYPT_E_NOT_FOUND

LONG lastError() { return static_cast<LONG>(GetLastError()); }

// The file, opened for reading as the path names it, for the checks by path.
norvo::tiny::UniqueFile openForChecks(const std::wstring &path)
{
    return norvo::tiny::UniqueFile(
        CreateFileW(path.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr));
}

} // namespace

LONG VerifyPackageTrust(HANDLE file, const std::wstring &path)
{
    // The handle is what is verified; the path only tells the platform the file's kind.
    WINTRUST_FILE_INFO information = {};
    information.cbStruct = sizeof(information);
    information.pcwszFilePath = path.c_str();
    information.hFile = file;

    WINTRUST_DATA trust = {};
    trust.cbStruct = sizeof(trust);
    trust.dwUIChoice = WTD_UI_NONE;
    trust.fdwRevocationChecks = WTD_REVOKE_NONE;
    trust.dwUnionChoice = WTD_CHOICE_FILE;
    trust.pFile = &information;
    trust.dwStateAction = 0;   // no state kept, so no closing call
    trust.dwProvFlags = kProviderFlags;
    trust.dwUIContext = WTD_UICONTEXT_EXECUTE;

    GUID action = WINTRUST_ACTION_GENERIC_VERIFY_V2;
    return WinVerifyTrust(nullptr, &action, &trust);
}

LONG ReadFirstSignerName(HANDLE file, std::wstring &name)
{
    std::vector<BYTE> signature;
    const LONG read = ReadEmbeddedSignature(file, signature);
    if (read != 0)
        return read;
    CRYPT_DATA_BLOB blob = {static_cast<DWORD>(signature.size()), signature.data()};
    UniqueCertStore store;
    UniqueCryptMsg message;
    if (!CryptQueryObject(CERT_QUERY_OBJECT_BLOB, &blob, CERT_QUERY_CONTENT_FLAG_PKCS7_SIGNED,
                          CERT_QUERY_FORMAT_FLAG_BINARY, 0, nullptr, nullptr, nullptr, store.put(), message.put(),
                          nullptr))
        return lastError();

    DWORD size = 0;
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, nullptr, &size))
        return lastError();
    std::vector<BYTE> signerBuffer;
    try {
        signerBuffer.resize(size);
    } catch (...) {
        return kOutOfMemory;
    }
    if (!CryptMsgGetParam(message.get(), CMSG_SIGNER_INFO_PARAM, 0, signerBuffer.data(), &size))
        return lastError();
    const auto *signer = reinterpret_cast<const CMSG_SIGNER_INFO *>(signerBuffer.data());

    CERT_INFO wanted = {};
    wanted.Issuer = signer->Issuer;
    wanted.SerialNumber = signer->SerialNumber;
    UniqueCertContext certificate(CertFindCertificateInStore(store.get(), X509_ASN_ENCODING | PKCS_7_ASN_ENCODING, 0,
                                                             CERT_FIND_SUBJECT_CERT, &wanted, nullptr));
    if (!certificate)
        return lastError();

    DWORD length = CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, nullptr, 0);
    if (length == 0)
        return kNameNotFound;
    std::vector<wchar_t> text(length, L'\0');
    if (CertGetNameStringW(certificate.get(), CERT_NAME_SIMPLE_DISPLAY_TYPE, 0, nullptr, text.data(), length) == 0)
        return kNameNotFound;
    name.assign(text.data());
    return 0;
}

LONG CheckPackagePublisher(HANDLE file, const std::wstring &publisher)
{
    std::wstring name;
    LONG result = ReadFirstSignerName(file, name);
    if (result != 0)
        return result;
    // Whole and case-sensitive: a name with more after it, or in other letter case, is another name.
    return name == publisher ? 0 : -1;
}

LONG VerifyPackageTrust(const std::wstring &path)
{
    const norvo::tiny::UniqueFile file = openForChecks(path);
    return file ? VerifyPackageTrust(file.get(), path) : lastError();
}

LONG CheckPackagePublisher(const std::wstring &path, const std::wstring &publisher)
{
    const norvo::tiny::UniqueFile file = openForChecks(path);
    return file ? CheckPackagePublisher(file.get(), publisher) : lastError();
}

LONG ReadFirstSignerName(const std::wstring &path, std::wstring &name)
{
    const norvo::tiny::UniqueFile file = openForChecks(path);
    return file ? ReadFirstSignerName(file.get(), name) : lastError();
}

} // namespace nvupdater
