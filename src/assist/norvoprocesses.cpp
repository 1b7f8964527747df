#include "assist/norvoprocesses.h"

#include "tiny/nmutex.h"

namespace norvo {
namespace assist {

namespace {

struct Row {
    const char *key, *productName, *executable, *productFolder, *executableName, *processTag;
    int32_t priority;
};

// Our products' main processes first, then their helper processes.
const Row kRows[] = {
    {"NUS", "Norvo Updater Service", "nvupdaterservice.exe", "Updater Service", "nvupdaterservice.exe", "nus", 0},
    {"NSW", "Norvo Setup Wrapper", "nsetup.exe", "Setup Wrapper", "nsetup.exe", "nsw", 0},
    {"NST", "Norvo Studio", "nstudio.exe", "Studio", "nstudio.exe", "nst", 0},
    {"NCV", "Norvo Canvas", "ncanvas.exe", "Canvas", "ncanvas.exe", "ncv", 0},
    {"NLG", "Norvo Ledger", "nledger.exe", "Ledger", "nledger.exe", "nlg", 0},
    {"NPH", "Norvo Photo Lab", "nphotolab.exe", "Photo Lab", "nphotolab.exe", "nph", 0},
    {"NMV", "Norvo Movie Cut", "nmoviecut.exe", "Movie Cut", "nmoviecut.exe", "nmv", 0},
    {"NAU", "Norvo Audio Desk", "naudiodesk.exe", "Audio Desk", "naudiodesk.exe", "nau", 0},
    {"NBK", "Norvo Backup", "nbackup.exe", "Backup", "nbackup.exe", "nbk", 0},
    {"NSY", "Norvo Sync", "nsync.exe", "Sync", "nsync.exe", "nsy", 0},
    {"NPD", "Norvo PDF Writer", "npdfwriter.exe", "PDF Writer", "npdfwriter.exe", "npd", 0},
    {"NDB", "Norvo Data Browser", "ndatabrowser.exe", "Data Browser", "ndatabrowser.exe", "ndb", 0},
    {"NMP", "Norvo Media Player", "nmediaplayer.exe", "Media Player", "nmediaplayer.exe", "nmp", 0},
    {"NBR", "Norvo Burner", "nburner.exe", "Burner", "nburner.exe", "nbr", 0},
    {"NCN", "Norvo Converter", "nconverter.exe", "Converter", "nconverter.exe", "ncn", 0},
    {"NSC", "Norvo Scanner", "nscanner.exe", "Scanner", "nscanner.exe", "nsc", 0},
    {"NFM", "Norvo File Manager", "nfilemanager.exe", "File Manager", "nfilemanager.exe", "nfm", 0},
    {"NAR", "Norvo Archiver", "narchiver.exe", "Archiver", "narchiver.exe", "nar", 0},
    {"NNT", "Norvo Notes", "nnotes.exe", "Notes", "nnotes.exe", "nnt", 0},
    {"NMA", "Norvo Mail", "nmail.exe", "Mail", "nmail.exe", "nma", 0},
    {"NCL", "Norvo Calendar", "ncalendar.exe", "Calendar", "ncalendar.exe", "ncl", 0},
    {"NDR", "Norvo Draw", "ndraw.exe", "Draw", "ndraw.exe", "ndr", 0},
    {"NPR", "Norvo Presenter", "npresenter.exe", "Presenter", "npresenter.exe", "npr", 0},
    {"NSH", "Norvo Sheets", "nsheets.exe", "Sheets", "nsheets.exe", "nsh", 0},
    {"NWR", "Norvo Writer", "nwriter.exe", "Writer", "nwriter.exe", "nwr", 0},
    {"NVD", "Norvo Video Capture", "nvidcapture.exe", "Video Capture", "nvidcapture.exe", "nvd", 0},
    {"NRC", "Norvo Recovery", "nrecovery.exe", "Recovery", "nrecovery.exe", "nrc", 0},
    {"NDF", "Norvo Defrag", "ndefrag.exe", "Defrag", "ndefrag.exe", "ndf", 0},
    {"NCM", "Norvo Cleaner", "ncleaner.exe", "Cleaner", "ncleaner.exe", "ncm", 0},
    {"NPT", "Norvo Partition", "npartition.exe", "Partition", "npartition.exe", "npt", 0},
    {"NDS", "Norvo Disc Studio", "ndiscstudio.exe", "Disc Studio", "ndiscstudio.exe", "nds", 0},
    {"NLB", "Norvo Label Maker", "nlabel.exe", "Label Maker", "nlabel.exe", "nlb", 0},
    {"NTV", "Norvo TV", "ntv.exe", "TV", "ntv.exe", "ntv", 0},
    {"NRD", "Norvo Radio", "nradio.exe", "Radio", "nradio.exe", "nrd", 0},
    {"NMX", "Norvo Mixer", "nmixer.exe", "Mixer", "nmixer.exe", "nmx", 0},
    {"NST&render", "Norvo Studio Render Server", "bin/nstrender.exe", "Studio", "nstrender.exe", "nstr", 1},
    {"NMV&encoder", "Norvo Movie Cut Encoder", "tools/nmvencoder.exe", "Movie Cut", "nmvencoder.exe", "nmve", 2},
    {"NMP&tray", "Norvo Media Player Tray", "nmptray.exe", "Media Player", "nmptray.exe", "nmpt", 2},
    {"NBK&agent", "Norvo Backup Agent", "agent/nbkagent.exe", "Backup", "nbkagent.exe", "nbka", 2},
    {"NSY&monitor", "Norvo Sync Monitor", "nsymonitor.exe", "Sync", "nsymonitor.exe", "nsym", 2},
    {"NPD&printer", "Norvo PDF Printer", "printer/npdprinter.exe", "PDF Writer", "npdprinter.exe", "npdp", 2},
    {"NBR&erase", "Norvo Burner Erase Tool", "nbrerase.exe", "Burner", "nbrerase.exe", "nbre", 2},
    {"NSC&twain", "Norvo Scanner Driver Host", "twain/nsctwain.exe", "Scanner", "nsctwain.exe", "nsct", 2},
};

tiny::NMutex &tableMutex()
{
    static tiny::NMutex mutex;
    return mutex;
}

} // namespace

NorvoProcesses &NorvoProcesses::instance()
{
    static NorvoProcesses *table = nullptr;
    tiny::NMutexLock lock(tableMutex());
    if (!table) {
        // Lives to the end of the process; destroyed at exit by the static below.
        static NorvoProcesses built;
        table = &built;
    }
    return *table;
}

NorvoProcesses::NorvoProcesses()
{
    rows_.reserve(sizeof(kRows) / sizeof(kRows[0]));
    for (const Row &row : kRows)
        rows_.push_back({row.key, row.productName, row.executable, row.productFolder, row.executableName,
                         row.processTag, row.priority});
}

const NorvoProcess *NorvoProcesses::find(const std::string &productCode, const std::string &processName) const
{
    const std::string combined = productCode + "&" + processName;
    for (const NorvoProcess &row : rows_)
        if (row.key == combined)
            return &row;
    for (const NorvoProcess &row : rows_)
        if (row.key == productCode)
            return &row;
    return nullptr;
}

bool NorvoProcesses::contains(const std::string &productCode, const std::string &processName) const
{
    return find(productCode, processName) != nullptr;
}

int32_t NorvoProcesses::priority(const std::string &productCode, const std::string &processName) const
{
    const NorvoProcess *row = find(productCode, processName);
    return row ? row->priority : 0;
}

std::string NorvoProcesses::executableName(const std::string &productCode, const std::string &processName) const
{
    const NorvoProcess *row = find(productCode, processName);
    return row ? row->executableName : std::string();
}

std::string NorvoProcesses::productFolder(const std::string &productCode, const std::string &processName) const
{
    const NorvoProcess *row = find(productCode, processName);
    return row ? row->productFolder : std::string();
}

std::string NorvoProcesses::processTag(const std::string &productCode, const std::string &processName) const
{
    const NorvoProcess *row = find(productCode, processName);
    return row ? row->processTag : std::string();
}

} // namespace assist
} // namespace norvo
