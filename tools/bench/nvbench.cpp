// nvbench: measures what a Setup Wrapper waits for. Runs complete sessions against the running
// updater service, back to back or each after the service is idle again, or runs the floor (the
// same checks in this process, without the service: the examination as the service runs it, and
// the same steps with every read opening the package again), and reports the times from connecting
// to the decision and the service's handle count and private bytes before and after.
//
// usage: nvbench --package PATH (--accept | --refuse) [--floor] [--idle-ms MS [--paired-floor]]
//                [--sessions N] [--warmup N] [--samples CSV] [--figures CSV]
//   --accept    the package is expected to be accepted; each session then reports "220 RESULT 0"
//               and "230 BYE" without installing anything
//   --refuse    the package is expected to be refused (any non-zero decision)
//   --floor     no pipe: the session's checks on the package, in this process (each pass of the
//               examination is followed by one of its per-step yardstick, or preceded in every
//               other pass, so that neither always runs on what the other left warm)
//   --idle-ms   pause MS after each session, so that the next one finds the service listening
//   --paired-floor  with --idle-ms: both floor passes after each session (once the service has
//               finished it), before the pause, so that all figures are taken under the same load
//   --samples   append one line per measured session to this CSV file
//   --figures   append the service's handles and private bytes to this CSV file
#include "floor.h"
#include "pipeclient.h"
#include "servicefigures.h"

#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cwchar>
#include <string>
#include <vector>

using namespace nswclient;
using namespace nvbench;
namespace protocol = nvupdater::protocol;

namespace {

const DWORD kConnectMs = 10000;
const DWORD kReplyMs = 30000;
// Before a paired floor pass: the service finishes the session it has just ended (the log's last
// line, the thread's end) on the same cores, and that must not be counted to the floor.
const DWORD kFloorSettleMs = 100;

struct Options {
    std::wstring package;
    bool accept = false, refuse = false, floor = false, pairedFloor = false;
    long sessions = 500, warmup = 5, idleMs = 0;
    std::wstring samples, figures;
    const char *path() const { return accept ? "accepted" : "refused"; }
    const char *measurement() const { return floor ? "floor" : idleMs > 0 ? "idle" : "back-to-back"; }
};

double nowMs()
{
    static LARGE_INTEGER frequency = [] {
        LARGE_INTEGER f;
        QueryPerformanceFrequency(&f);
        return f;
    }();
    LARGE_INTEGER counter;
    QueryPerformanceCounter(&counter);
    return counter.QuadPart * 1000.0 / frequency.QuadPart;
}

// One measured session (or floor pass). Figures that do not apply stay negative.
struct Timing {
    double connect = -1;             // from the first connect attempt to the open pipe
    double toDecision = -1;          // from the first connect attempt (or the pass's start) to the decision
    double greetingToDecision = -1;  // from the greeting to the decision
    double afterResult = -1;         // floor, go-ahead: the version check and the advertisement's removal
};

std::wstring resultMessage(int value)
{
    wchar_t text[64];
    _snwprintf(text, 63, protocol::kResultFormat, value);
    text[63] = L'\0';
    return text;
}

// One whole session; false (with a reason printed) when it did not go as expected.
bool runSession(const Options &options, Timing &timing)
{
    const double start = nowMs();
    PipeClient client;
    if (!client.connect(kPipeName, kConnectMs)) {
        std::printf("connect failed: %lu\n", client.error());
        return false;
    }
    timing.connect = nowMs() - start;
    std::wstring message;
    if (client.receive(message, kReplyMs) != PipeStatus::Ok) {
        std::printf("no greeting\n");
        return false;
    }
    const double greeted = nowMs();
    const std::wstring command = protocol::kPackagePrefix + options.package + L"\"";
    if (client.send(protocol::kClientGreeting, kReplyMs) != PipeStatus::Ok || client.send(command, kReplyMs) != PipeStatus::Ok ||
        client.receive(message, kReplyMs) != PipeStatus::Ok) {
        std::printf("no decision\n");
        return false;
    }
    const double decided = nowMs();
    timing.toDecision = decided - start;
    timing.greetingToDecision = decided - greeted;
    const bool accepted = message == resultMessage(protocol::ResultGoAhead);
    if (accepted != options.accept) {
        std::printf("unexpected decision: %s\n", utf8(message).c_str());
        return false;
    }
    if (accepted && (client.send(resultMessage(ERROR_SUCCESS), kReplyMs) != PipeStatus::Ok ||
                     client.send(protocol::kBye, kReplyMs) != PipeStatus::Ok)) {
        std::printf("could not finish the conversation\n");
        return false;
    }
    // The service ends every session by disconnecting.
    const PipeStatus end = client.receive(message, kReplyMs);
    if (end != PipeStatus::Closed) {
        std::printf("the service did not disconnect\n");
        return false;
    }
    return true;
}

bool runFloorPass(const Options &options, FloorKind kind, Timing &timing)
{
    const FloorPass pass = RunFloorPass(options.package, kind, nowMs);
    timing.toDecision = pass.toDecisionMs;
    timing.afterResult = options.accept ? pass.afterResultMs : -1;
    if ((pass.decision == protocol::ResultGoAhead) != options.accept) {
        std::printf("unexpected decision: %d\n", pass.decision);
        return false;
    }
    return true;
}

// Both floor passes, in the order that `index` gives.
bool runFloorPair(const Options &options, long index, Timing &oneOpen, Timing &perStep)
{
    if (index % 2 == 0)
        return runFloorPass(options, FloorKind::OneOpen, oneOpen) && runFloorPass(options, FloorKind::PerStep, perStep);
    return runFloorPass(options, FloorKind::PerStep, perStep) && runFloorPass(options, FloorKind::OneOpen, oneOpen);
}

// A session or the floor passes, and with a paired floor also the floor passes after the session.
bool runOne(const Options &options, long index, Timing &timing, Timing &paired, Timing &perStep)
{
    timing = Timing();
    paired = Timing();
    perStep = Timing();
    bool done = options.floor ? runFloorPair(options, index, timing, perStep) : runSession(options, timing);
    if (done && options.pairedFloor) {
        Sleep(kFloorSettleMs);
        done = runFloorPair(options, index, paired, perStep);
    }
    if (done && options.idleMs > 0)
        Sleep(static_cast<DWORD>(options.idleMs));
    return done;
}

double percentile(std::vector<double> values, double p)
{
    if (values.empty())
        return 0;
    std::sort(values.begin(), values.end());
    const size_t rank = static_cast<size_t>(p * (values.size() - 1) + 0.5);
    return values[std::min(rank, values.size() - 1)];
}

bool parse(int argc, wchar_t **argv, Options &options)
{
    for (int i = 1; i < argc; ++i) {
        const std::wstring arg = argv[i];
        const bool hasValue = i + 1 < argc;
        if (arg == L"--accept")
            options.accept = true;
        else if (arg == L"--refuse")
            options.refuse = true;
        else if (arg == L"--floor")
            options.floor = true;
        else if (arg == L"--paired-floor")
            options.pairedFloor = true;
        else if (arg == L"--package" && hasValue)
            options.package = argv[++i];
        else if (arg == L"--sessions" && hasValue)
            options.sessions = std::wcstol(argv[++i], nullptr, 10);
        else if (arg == L"--warmup" && hasValue)
            options.warmup = std::wcstol(argv[++i], nullptr, 10);
        else if (arg == L"--idle-ms" && hasValue)
            options.idleMs = std::wcstol(argv[++i], nullptr, 10);
        else if (arg == L"--samples" && hasValue)
            options.samples = argv[++i];
        else if (arg == L"--figures" && hasValue)
            options.figures = argv[++i];
        else
            return false;
    }
    return !options.package.empty() && options.accept != options.refuse && options.sessions > 0 &&
           options.warmup >= 0 && options.idleMs >= 0 && options.idleMs <= 60000 &&
           !(options.pairedFloor && (options.floor || options.idleMs == 0));
}

// Appends to a CSV file, writing its header first when the file is new.
class CsvFile {
public:
    CsvFile(const std::wstring &path, const char *header)
    {
        if (path.empty() || _wfopen_s(&file_, path.c_str(), L"ab") != 0)
            return;
        std::fseek(file_, 0, SEEK_END);
        if (std::ftell(file_) == 0)
            std::fprintf(file_, "%s\n", header);
    }
    ~CsvFile()
    {
        if (file_)
            std::fclose(file_);
    }
    CsvFile(const CsvFile &) = delete;
    CsvFile &operator=(const CsvFile &) = delete;
    FILE *get() const { return file_; }

private:
    FILE *file_ = nullptr;
};

void printNumber(FILE *file, double value)
{
    if (value >= 0)
        std::fprintf(file, ",%.3f", value);
    else
        std::fprintf(file, ",");
}

bool writeSamples(const Options &options, const char *measurement, const std::vector<Timing> &timings)
{
    if (options.samples.empty())
        return true;
    CsvFile csv(options.samples, "path,measurement,session,connect_ms,to_decision_ms,greeting_to_decision_ms,after_result_ms");
    if (!csv.get())
        return false;
    for (size_t i = 0; i < timings.size(); ++i) {
        std::fprintf(csv.get(), "%s,%s,%u", options.path(), measurement, static_cast<unsigned>(i + 1));
        printNumber(csv.get(), timings[i].connect);
        printNumber(csv.get(), timings[i].toDecision);
        printNumber(csv.get(), timings[i].greetingToDecision);
        printNumber(csv.get(), timings[i].afterResult);
        std::fprintf(csv.get(), "\n");
    }
    return true;
}

bool writeFigures(const Options &options, const char *moment, const ProcessFigures &figures)
{
    if (options.figures.empty())
        return true;
    CsvFile csv(options.figures, "path,measurement,moment,handles,private_bytes,listed_handles,listed_private_bytes");
    if (!csv.get())
        return false;
    std::fprintf(csv.get(), "%s,%s,%s,", options.path(), options.measurement(), moment);
    if (figures.known)
        std::fprintf(csv.get(), "%lu,%lu", figures.handles, static_cast<unsigned long>(figures.privateBytes));
    else
        std::fprintf(csv.get(), ",");
    std::fprintf(csv.get(), ",%lu,%lu\n", figures.listedHandles, static_cast<unsigned long>(figures.listedPrivate));
    return true;
}

void printFigures(const char *when, const ProcessFigures &figures)
{
    if (figures.known)
        std::printf("  service %-28s handles %lu, private bytes %lu", when, figures.handles,
                    static_cast<unsigned long>(figures.privateBytes));
    else
        std::printf("  service %-28s handles and private bytes not measurable", when);
    std::printf(" (process list: handles %lu, private bytes %lu)\n", figures.listedHandles,
                static_cast<unsigned long>(figures.listedPrivate));
}

void printSpread(const char *what, const std::vector<Timing> &timings, double Timing::*figure)
{
    std::vector<double> values;
    for (const Timing &timing : timings)
        if (timing.*figure >= 0)
            values.push_back(timing.*figure);
    if (!values.empty())
        std::printf("  %-28s median %.1f ms, 95th percentile %.1f ms\n", what, percentile(values, 0.5),
                    percentile(values, 0.95));
}

} // namespace

int wmain(int argc, wchar_t **argv)
{
    Options options;
    if (!parse(argc, argv, options)) {
        std::fputs("usage: nvbench --package PATH (--accept | --refuse) [--floor] [--idle-ms MS [--paired-floor]]\n"
                   "               [--sessions N] [--warmup N] [--samples CSV] [--figures CSV]\n",
                   stderr);
        return 1;
    }
    // The floor needs no service, but its figures are the service's all the same.
    const DWORD pid = ServicePid();
    if (pid == 0 && !options.floor) {
        std::fputs("nvbench: the service is not running\n", stderr);
        return 2;
    }
    if (options.floor || options.pairedFloor)
        PrepareFloor();
    std::printf("%s path, %s%s, %ld sessions (after %ld warm-up sessions), package %s\n", options.path(),
                options.measurement(), options.pairedFloor ? " with a floor pass after each" : "", options.sessions,
                options.warmup, utf8(options.package).c_str());
    const ProcessFigures cold = Measure(pid);
    Timing timing, paired, perStep;
    for (long i = 0; i < options.warmup; ++i)
        if (!runOne(options, i, timing, paired, perStep))
            return 3;
    const ProcessFigures before = Measure(pid);

    std::vector<Timing> timings, floorTimings, perStepTimings;
    const double start = nowMs();
    for (long i = 0; i < options.sessions; ++i) {
        if (!runOne(options, i, timing, paired, perStep)) {
            std::printf("nvbench: session %ld failed\n", i + 1);
            return 3;
        }
        timings.push_back(timing);
        if (options.pairedFloor)
            floorTimings.push_back(paired);
        if (options.floor || options.pairedFloor)
            perStepTimings.push_back(perStep);
    }
    const double seconds = (nowMs() - start) / 1000.0;
    const ProcessFigures after = Measure(pid);

    printSpread("connect:", timings, &Timing::connect);
    printSpread(options.floor ? "start to decision:" : "connect to decision:", timings, &Timing::toDecision);
    printSpread("greeting to decision:", timings, &Timing::greetingToDecision);
    printSpread("after the result:", timings, &Timing::afterResult);
    printSpread("paired floor to decision:", floorTimings, &Timing::toDecision);
    printSpread("paired floor after result:", floorTimings, &Timing::afterResult);
    printSpread("per-step floor to decision:", perStepTimings, &Timing::toDecision);
    printSpread("per-step floor after result:", perStepTimings, &Timing::afterResult);
    std::printf("  throughput:                  %.2f sessions per second (%.1f s in all)\n", options.sessions / seconds,
                seconds);
    if (pid != 0) {
        printFigures("before any session:", cold);
        printFigures("before the measured run:", before);
        printFigures("after the measured run:", after);
    }
    if (!writeSamples(options, options.measurement(), timings) || !writeSamples(options, "floor", floorTimings) ||
        !writeSamples(options, "floor-per-step", perStepTimings) || !writeFigures(options, "before", before) ||
        !writeFigures(options, "after", after)) {
        std::fputs("nvbench: cannot write the CSV files\n", stderr);
        return 4;
    }
    return 0;
}
