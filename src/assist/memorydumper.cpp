#include "assist/memorydumper.h"

#include "assist/assistlog.h"
#include "assist/assistpaths.h"
#include "tiny/dynamiclibrary.h"
#include "tiny/fileitself.h"
#include "tiny/unique.h"

#include <dbghelp.h>
#include <sddl.h>

namespace norvo {
namespace assist {

const char kDumpComment[] = "NORVO_ASSIST_DUMP";

namespace {

const char kDebugLibrary[] = "dbghelp.dll";
const char kModulePath[] = "MemoryDumper::dumpProcessState: Actual module path: %s.\n";
const char kNoModulePath[] = "MemoryDumper::dumpProcessState: Cannot get actual module path.\n";
const char kLoadFailed[] = "MemoryDumper::dumpProcessState: Loading of library %s has failed, error: %u\n";
const char kAlternativeFailed[] =
    "MemoryDumper::dumpProcessState: Alternative loading of library %s has failed, error: %u\n";
const char kAlternativeLoaded[] =
    "MemoryDumper::dumpProcessState: WARNING: Alternative debugging library has been loaded: %s\n";
const char kSymbolFailed[] = "MemoryDumper::dumpProcessState: %s:%u\n";
const char kSymbolFailedWhat[] = "GetProcAddress error";
const char kCreateFinished[] = "MemoryDumper::dumpProcessState: Create file %s finished with error code %u\n";
const char kCreateFailed[] = "MemoryDumper::dumpProcessState: Create file %s error code %u\n";
const char kWriteFailedText[] = "MemoryDumper::dumpProcessState: MiniDumpWriteDump error: %d\n";
const char kWrittenText[] = "MemoryDumper::dumpProcessState: dump of process %d has been successful\n";
// The dump holds the process's memory: from its first byte only SYSTEM and Administrators may open
// it (a protected list, nothing inherited from the folder).
const char kDumpSecurity[] = "D:P(A;;FA;;;SY)(A;;FA;;;BA)";

typedef BOOL(WINAPI *MiniDumpWriteDumpRoutine)(HANDLE, DWORD, HANDLE, MINIDUMP_TYPE,
                                               PMINIDUMP_EXCEPTION_INFORMATION, PMINIDUMP_USER_STREAM_INFORMATION,
                                               PMINIDUMP_CALLBACK_INFORMATION);

std::string libraryPath(const std::string &debugLibraryDirectory)
{
    std::string folder;
    if (!debugLibraryDirectory.empty()) {
        folder = normalizePath(debugLibraryDirectory, true, true);
    } else {
        folder = programDirectory();
        if (folder.empty())
            assistLog(kNoModulePath);
        else
            assistLog(kModulePath, folder.c_str());
    }
    return folder.empty() ? folder : folder + kDebugLibrary;
}

// The configured copy first; the system folder's when that one is missing. Never a search.
bool loadDebugLibrary(tiny::DynamicLibrary &library, const std::string &path)
{
    if (library.load(path))
        return true;
    assistLog(kLoadFailed, path.c_str(), static_cast<unsigned>(GetLastError()));
    std::string systemCopy = tiny::systemFolder() + "\\" + kDebugLibrary;
    if (!library.load(systemCopy)) {
        assistLog(kAlternativeFailed, systemCopy.c_str(), static_cast<unsigned>(GetLastError()));
        return false;
    }
    assistLog(kAlternativeLoaded, library.fileName().c_str());
    return true;
}

} // namespace

int MemoryDumper::dumpProcessState(EXCEPTION_POINTERS *exception, HANDLE process, DWORD processId, uint32_t dumpType,
                                   const std::string &dumpFilePath, const std::string &debugLibraryDirectory)
{
    MINIDUMP_EXCEPTION_INFORMATION exceptionInfo = {};
    exceptionInfo.ThreadId = GetCurrentThreadId();
    exceptionInfo.ExceptionPointers = exception;
    exceptionInfo.ClientPointers = TRUE;
    MINIDUMP_USER_STREAM comment = {};
    comment.Type = CommentStreamA;
    comment.BufferSize = sizeof(kDumpComment);
    comment.Buffer = const_cast<char *>(kDumpComment);
    MINIDUMP_USER_STREAM_INFORMATION streams = {};
    streams.UserStreamCount = 1;
    streams.UserStreamArray = &comment;

    tiny::DynamicLibrary library;
    if (!loadDebugLibrary(library, libraryPath(debugLibraryDirectory)))
        return kNoDebugLibrary;
    MiniDumpWriteDumpRoutine writeDump =
        reinterpret_cast<MiniDumpWriteDumpRoutine>(library.symbol("MiniDumpWriteDump"));
    if (!tiny::DynamicLibrary::hasSymbol(reinterpret_cast<FARPROC>(writeDump))) {
        DWORD error = GetLastError();
        library.free();
        assistLog(kSymbolFailed, kSymbolFailedWhat, static_cast<unsigned>(error));
        return kNoDebugLibrary;
    }

    // An old dump goes first, through a handle on the file itself; the new one is created, never
    // opened: a link or anything else left under the name makes the creation fail.
    (void)tiny::deleteFileItself(dumpFilePath.c_str());   // none there is fine; anything else fails the creation
    tiny::UniqueLocal descriptor;
    SECURITY_ATTRIBUTES security = {sizeof(security), nullptr, FALSE};
    // Without its descriptor the file is not made at all: it would inherit the folder's access.
    if (ConvertStringSecurityDescriptorToSecurityDescriptorA(
            kDumpSecurity, SDDL_REVISION_1, reinterpret_cast<PSECURITY_DESCRIPTOR *>(descriptor.put()), nullptr))
        security.lpSecurityDescriptor = descriptor.get();
    tiny::UniqueFile file(security.lpSecurityDescriptor
                              ? CreateFileA(dumpFilePath.c_str(), GENERIC_READ | GENERIC_WRITE, 0, &security,
                                            CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr)
                              : INVALID_HANDLE_VALUE);
    DWORD error = GetLastError();
    assistLog(kCreateFinished, dumpFilePath.c_str(), static_cast<unsigned>(error));
    if (!file.valid() || !file.get()) {
        file.release();
        library.free();
        assistLog(kCreateFailed, dumpFilePath.c_str(), static_cast<unsigned>(error));
        return kFileNotCreated;
    }

    if (!writeDump(process, processId, file.get(), static_cast<MINIDUMP_TYPE>(dumpType),
                   exception ? &exceptionInfo : nullptr, &streams, nullptr)) {
        assistLog(kWriteFailedText, static_cast<int>(GetLastError()));
        library.free();
        file.reset();
        return kWriteFailed;
    }
    file.reset();
    library.free();
    assistLog(kWrittenText, static_cast<int>(processId));
    return kWritten;
}

int dumpCurrentProcess(EXCEPTION_POINTERS *exception, uint32_t dumpType, const std::string &dumpFilePath,
                       const std::string &debugLibraryDirectory)
{
    return MemoryDumper::dumpProcessState(exception, GetCurrentProcess(), GetCurrentProcessId(), dumpType,
                                          dumpFilePath, debugLibraryDirectory);
}

} // namespace assist
} // namespace norvo
