// The signer check on real signed packages. The suite's prepare step trusts the kit's root
// certificate in the prefix; the kit's "stray" root is never trusted.
#include "inspection/signercheck.h"
#include "kit.h"
#include "tiny/unique.h"

#include <gtest/gtest.h>

#include <cstdio>

using namespace nvupdater;

namespace {

const wchar_t kNorvo[] = L"Norvo Technologies, Inc.";
const wchar_t kVarda[] = L"Varda Software Development Ltd.";

struct Verdict {
    LONG trust, norvo, varda;
};

// The three checks in the order the session makes them.
Verdict check(const std::wstring &name)
{
    const std::wstring path = kit::package(name);
    return {VerifyPackageTrust(path), CheckPackagePublisher(path, kNorvo), CheckPackagePublisher(path, kVarda)};
}

bool accepted(const Verdict &v) { return v.trust == 0 && (v.norvo == 0 || v.varda == 0); }

TEST(SignerCheck, TrustedAcceptedPublishers)
{
    Verdict norvo = check(L"signed-norvo");
    EXPECT_EQ(0, norvo.trust);
    EXPECT_EQ(0, norvo.norvo);
    EXPECT_EQ(-1, norvo.varda);
    EXPECT_TRUE(accepted(norvo));

    Verdict varda = check(L"signed-varda");
    EXPECT_EQ(0, varda.trust);
    EXPECT_EQ(-1, varda.norvo);
    EXPECT_EQ(0, varda.varda);
    EXPECT_TRUE(accepted(varda));
}

TEST(SignerCheck, TrustedButOtherOrCaseDifferentNameIsRejected)
{
    for (const wchar_t *name : {L"signed-other", L"signed-norvo-case"}) {
        SCOPED_TRACE(nvtest::narrow(name));
        Verdict v = check(name);
        EXPECT_EQ(0, v.trust);
        EXPECT_EQ(-1, v.norvo);
        EXPECT_EQ(-1, v.varda);
        EXPECT_FALSE(accepted(v));
    }
    // The name matches whole strings only: a prefix of it or more text after it is another name.
    const std::wstring path = kit::package(L"signed-norvo");
    EXPECT_EQ(-1, CheckPackagePublisher(path, L"Norvo Technologies"));
    EXPECT_EQ(-1, CheckPackagePublisher(path, L"Norvo Technologies, Inc. "));
    EXPECT_EQ(-1, CheckPackagePublisher(path, L""));
}

TEST(SignerCheck, UntrustedRootIsRejectedDespiteTheName)
{
    Verdict v = check(L"signed-norvo-stray");
    EXPECT_EQ(static_cast<LONG>(CERT_E_UNTRUSTEDROOT), v.trust);
    EXPECT_EQ(0, v.norvo);
    EXPECT_FALSE(accepted(v));
}

TEST(SignerCheck, UnsignedOrMissingPackageFailsEveryCheck)
{
    Verdict unsigned_ = check(L"unsigned");
    EXPECT_EQ(static_cast<LONG>(TRUST_E_NOSIGNATURE), unsigned_.trust);
    EXPECT_EQ(static_cast<LONG>(CRYPT_E_NO_MATCH), unsigned_.norvo);
    EXPECT_EQ(unsigned_.norvo, unsigned_.varda);

    Verdict missing = check(L"no-such-package");
    EXPECT_NE(0, missing.trust);
    EXPECT_NE(0, missing.norvo);
    EXPECT_NE(-1, missing.norvo);
    EXPECT_FALSE(accepted(missing));
}

} // namespace

namespace {

// The checks judge the held file, not what its name leads to later. Windows refuses to rename a
// folder that holds an open file; Wine does not, which lets the test put an unsigned file under the
// held file's name. The publisher is the signer the trust check verified, so the verdict and the
// name come from one reading of one file: the held one on Windows; under Wine, whose
// installer-package verifier reads the file by its name whatever handle it is given, the unsigned
// one, so no name is taken then from the held file's unverified signature.
TEST(SignerCheck, TheSignerIsTheOneTheTrustCheckVerified)
{
    const std::wstring folder = nvtest::suiteDir() + L"\\held";
    const std::wstring moved = nvtest::suiteDir() + L"\\held-moved";
    const std::wstring package = folder + L"\\package.msi";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(kit::package(L"signed-norvo").c_str(), package.c_str(), FALSE));
    norvo::tiny::UniqueFile held(
        CreateFileW(package.c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_TRUE(held.valid());
    if (!MoveFileW(folder.c_str(), moved.c_str()))
        GTEST_SKIP() << "the folder of an open file stays in place here (" << GetLastError() << ")";
    ASSERT_TRUE(CreateDirectoryW(folder.c_str(), nullptr));
    ASSERT_TRUE(CopyFileW(kit::package(L"unsigned").c_str(), package.c_str(), FALSE));

    const VerifiedSignature verified = VerifySignature(held.get(), package);
    std::printf("trust through the held handle, the name leading to an unsigned file: 0x%08lX\n",
                static_cast<unsigned long>(verified.trust));
    if (verified.trust == 0) {
        EXPECT_EQ(0, MatchPublisher(verified, kNorvo));
    } else {
        EXPECT_EQ(static_cast<LONG>(TRUST_E_NOSIGNATURE), verified.trust);
        EXPECT_NE(0, MatchPublisher(verified, kNorvo));
        EXPECT_NE(-1, MatchPublisher(verified, kNorvo)) << "no name at all, not another one";
    }
    EXPECT_EQ(static_cast<LONG>(CRYPT_E_NO_MATCH), CheckPackagePublisher(package, kNorvo)) << "the name's file";
}

} // namespace
