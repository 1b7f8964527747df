// The scan of known processes' dumps (product layout with a dump database only).
#include "assist/assistlog.h"
#include "assist/memdumps.h"

namespace norvo {
namespace assist {

void MemDumps::scanProcessDumps()
{
    if (!dumpDatabase_) {
        reportMessage("ERR: Database interface is missing.");
        return;
    }
    // The dump finder that the rest of the scan needs is not part of this build yet.
}

} // namespace assist
} // namespace norvo
