// The protocol between the updater service and the Setup Wrapper: the pipe, the message forms and
// the result codes (clientmessages.h reads them). The service, the reference client, the benchmark
// and the tests all take them from here.
//
// Only the protocol lives here. The service's log texts stay in the modules that write them, exactly
// as they are written, misspellings ("Recieving") and the "Tandem" label included: administrators'
// scripts and support staff read those lines as they stand.
#pragma once

namespace nvupdater {
namespace protocol {

// The pipe's name, and the longest message either side reads: 4,096 bytes (2,048 UTF-16 units).
const wchar_t kPipeName[] = L"\\\\.\\pipe\\NVUpdatePipe";
const unsigned long kMaxMessageBytes = 4096;

// Each message begins with its code. The pieces are macros so that every message form and every
// format that reads it are spelled from the same text.
#define NV_PROTOCOL_GREETING L"200 "
#define NV_PROTOCOL_PACKAGE L"210 PACKAGE \""
#define NV_PROTOCOL_TRANSFORMS L" TRANSFORMS \""
#define NV_PROTOCOL_RESULT L"220 RESULT "

// 200: the greeting, sent by the service and answered in the same form by the client.
const wchar_t kServiceIdentity[] = L"NUS";
const wchar_t kClientIdentity[] = L"NSW";
const int kProtocolVersion = 1;
const wchar_t kGreetingFormat[] = NV_PROTOCOL_GREETING L"%ls %d";
// The identity token is read into at most this many units.
const unsigned kMaxIdentityUnits = 259;
// The reference client's own reply.
const wchar_t kClientGreeting[] = NV_PROTOCOL_GREETING L"NSW 1";

// 210: the package, and optionally the transforms, each between double quotes.
const wchar_t kPackagePrefix[] = NV_PROTOCOL_PACKAGE;
const wchar_t kPackageFormat[] = NV_PROTOCOL_PACKAGE L"%ls\"";
const wchar_t kTransformsPart[] = NV_PROTOCOL_TRANSFORMS;
const wchar_t kTransformsFormat[] = NV_PROTOCOL_TRANSFORMS L"%ls\"";

// 220: the service's decision, and after the go-ahead the client's installation result.
const wchar_t kResultFormat[] = NV_PROTOCOL_RESULT L"%d";

// 230: the client's goodbye.
const wchar_t kBye[] = L"230 BYE";

#undef NV_PROTOCOL_GREETING
#undef NV_PROTOCOL_PACKAGE
#undef NV_PROTOCOL_TRANSFORMS
#undef NV_PROTOCOL_RESULT

// The service's decisions in "220 RESULT %d".
enum BrokerResult {
    ResultGoAhead = 0,
    ResultSignRejected = 28401,          // signature not trusted, or no accepted publisher
    ResultNoUpgradableProduct = 28402,   // no installed product this package may upgrade
    ResultAdvertiseFailed = 28403,       // creating or applying the advertisement failed
    ResultUpgradeNotNeeded = 28406,      // the installed product needs no upgrade by this package
};

// How long the service waits for each message of the client, and for each send to be taken.
const unsigned long kMessageLimitMs = 10000;             // greeting reply, package command, goodbye
const unsigned long kInstallationLimitMs = 60 * 60 * 1000;   // the client's installation result
const unsigned long kSendLimitMs = 10000;                 // each send, and the flush before hanging up

} // namespace protocol
} // namespace nvupdater
