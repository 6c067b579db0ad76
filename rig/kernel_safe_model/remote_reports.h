// The input reports of a simulated remote, as both remotes (the DLL and the virtual device) build
// them from a scenario's conditions.
#pragma once

#include <cstdint>

#include "kernel_safe_model/scenario.h"

// What the remote has been told by the output reports it took.
struct RemoteSettings {
    int requestedKind; // the ID asked for by the last mode request (12 00 <id>)
    bool irEnabled;    // the sensor's enable register holds 08
};

// The report ID the remote sends under these conditions.
int ReportKind(const Conditions& conditions, const RemoteSettings& settings);

// The kRemoteReportLength bytes of report number `number`, secondsOpen after the open.
void BuildReport(const Conditions& conditions, const RemoteSettings& settings, unsigned number,
                 double secondsOpen, uint8_t* report);

// The three bytes of an IR object at (x, y) in the extended format; X 1023 and more: not seen.
void EncodeIrObject(int x, int y, uint8_t* bytes);
