// Where the service keeps its files: advertise scripts under the machine data folder, the log
// beside its own executable.
#pragma once

#include <string>

namespace nvupdater {

// The machine data folder ("ALLUSERSPROFILE" on Windows 6.0 and later; the account's roaming
// application data before). No trailing backslash.
std::wstring GetDataFolder();

// The folder of the service executable, lower-cased; when that folder lies under system32, the
// folder of the executable that the service's "ImagePath" names. Empty when unknown.
std::wstring GetServiceFolder();

// Creates data\Norvo, data\Norvo\Updater Service, its scripts folder, and the service folder's
// logs folder (none when the service folder is unknown). The folders under the data folder are
// protected folders (EnsureProtectedFolder: full control for SYSTEM and Administrators, read and
// execute for Users, given at creation; one that a user made is moved aside and made anew), because
// the service running as SYSTEM acts on every script it finds there. Each one only inside a
// protected parent.
void CreateServiceFolders();

// The scripts folder with its trailing backslash: data folder + "\Norvo\Updater Service\scripts\".
std::wstring GetScriptsFolder();

} // namespace nvupdater
