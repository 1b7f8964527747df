// The floor: the work a session cannot do without, run in this process on the same package through
// the service's own inspection library, with no pipe, no session thread and no log in between. Two
// kinds: the examination as the service runs it now (one open of the package), and the same steps
// with every property read and table query opening the package again, as the service first did.
#pragma once

#include <string>

namespace nvbench {

enum class FloorKind {
    OneOpen,    // the examination's own database, opened once on the held file
    PerStep,    // each read opens the package by itself: the yardstick the first one is measured against
};

struct FloorPass {
    int decision = 0;          // what the service would answer
    double toDecisionMs = 0;   // hold, lock, both properties, signature, eligibility, advertise, unlock
    double afterResultMs = 0;  // after a go-ahead: the version check and the advertisement's removal
};

// Once per process, as a session thread does it: COM for the installer's calls, no installer user
// interface, the folder the advertise scripts go to.
void PrepareFloor();

// One pass of the checks, in the session's order, and for a go-ahead also what the session does
// after the client's result (the product is not installed at the package's version here, so the
// advertisement is taken away again). `nowMs` is the clock both figures are read from.
FloorPass RunFloorPass(const std::wstring &packagePath, FloorKind kind, double (*nowMs)());

} // namespace nvbench
