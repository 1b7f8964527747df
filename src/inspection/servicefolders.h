// Where the service keeps its files: advertise scripts under the machine data folder, the log
// beside its own executable.
#pragma once

#include "inspection/protectedfolder.h"

#include <string>

namespace nvupdater {

// The machine data folder ("ALLUSERSPROFILE" on Windows 6.0 and later; the account's roaming
// application data before). No trailing backslash.
std::wstring GetDataFolder();

// The folder of the service executable, lower-cased; when that folder lies under system32, the
// folder of the executable that the service's "ImagePath" names. Empty when unknown.
std::wstring GetServiceFolder();

// Creates data\Norvo, data\Norvo\Updater Service, its scripts folder, and the service folder's
// logs folder (none when the service folder is unknown), each with its security given at creation.
// The folders under the data folder are protected folders (EnsureProtectedFolder; one that a user
// made is moved aside and made anew), because the service running as SYSTEM acts on every script it
// finds there; each one only inside a protected parent. The data folders let Users read; the
// scripts and the logs folder grant nobody but SYSTEM and Administrators anything.
void CreateServiceFolders();

// The scripts folder with its trailing backslash: data folder + "\Norvo\Updater Service\scripts\".
std::wstring GetScriptsFolder();

// The scripts folder held and judged now (HoldFolder).
HeldFolder HoldScriptsFolder();

// The service's own hold on the scripts folder: taken at the first call (WinMain's, right after
// CreateServiceFolders) and kept until the process ends; every session and clean-up goes by its
// verdict. Only while no folder could be held is it looked for again, at the next call. Called by
// one thread at a time (the main loop's start, then one session after another).
const HeldFolder &ServiceScriptsFolder();

} // namespace nvupdater
