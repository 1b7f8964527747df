#include "service/crashreporting.h"

#include "assist/assistconfig.h"
#include "assist/assistlog.h"
#include "assist/memdumps.h"
#include "servicenames.h"
#include "version.h"

#include <direct.h>
#include <stdio.h>

namespace nvupdater {

namespace {

const char kProductCode[] = "NUS";
const char kProcessName[] = NV_SERVICE_NAME;
const char kDumpName[] = "nvupdaterservice.dmp";
const char kUploadUrl[] = "ftp://crashreports.example.com/incoming/nus/";
const char kUploadUser[] = "nus-reporter";
const char kUploadPassword[] = "nus-upload";
const char kVersionFormat[] = "%d.%d.%d-%s-%d";
const int kDebugReportNumber = 1;  // -D

norvo::assist::AssistConfig g_config;
char g_version[256];
char g_currentDirectory[1024];

} // namespace

int setupCrashReporting()
{
    char version[128];
    snprintf(version, sizeof(version), kVersionFormat, NV_VERSION_MAJOR, NV_VERSION_MINOR, NV_VERSION_PATCH,
             NV_BUILD_TAG, NV_VERSION_BUILD);
    snprintf(g_version, sizeof(g_version), "%s", version);

    g_config.productCode = kProductCode;
    g_config.version = g_version;
    g_config.uploadUrl = kUploadUrl;
    g_config.uploadUser = kUploadUser;
    g_config.uploadPassword = kUploadPassword;
    g_config.numberD = kDebugReportNumber;
    g_config.dumpName = kDumpName;
    g_config.processName = kProcessName;
    // The full-memory dump holds a SYSTEM process's memory: Administrators and SYSTEM only (the
    // report tool runs as SYSTEM, as the service's child).
    g_config.restrictDumpAccess = true;
    // Under the service control manager the current directory is the system folder.
    if (_getcwd(g_currentDirectory, sizeof(g_currentDirectory)) && g_currentDirectory[0] != '\0') {
        g_config.dumpDirectory = g_currentDirectory;
        g_config.debugLibraryDirectory = g_currentDirectory;
        g_config.reportToolDirectory = g_currentDirectory;
    }
    // After a crash the service is started again: the crash's lines stay in assist.err.1.
    norvo::assist::keepPreviousErrorLog();
    norvo::assist::MemDumps::instance().init(g_config);
    return 1;
}

} // namespace nvupdater
