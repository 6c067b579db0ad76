// The remote behind the virtual device: what it does with the output reports it is sent, and
// which input report it has for the host at each moment, as its scenario says.
//
// A session begins with the first output report after the test has named a new scenario (the
// driver's "Scenario" parameter): the scenario is read then, and its clock starts there, as the
// simulated DLL's starts at the open. The log (the "Log" parameter) is opened at the same moment.
#pragma once

#include "virtremote/kernel.h"

#include <cstdint>

// Remembers the driver's service key, whose Parameters key names the scenario and the log.
void RemoteInitialize(const UNICODE_STRING& serviceKey);

// An output report, by WriteFile's way or HidD_SetOutputReport's; returns the request's status.
NTSTATUS RemoteTakeOutputReport(bool byWriteFile, const uint8_t* bytes, ULONG length);

enum class RemoteAction { kNothing, kDeliver, kFailRead };

// What the remote does at this moment: nothing yet, deliver the report it stores in report (with
// its length), or fail a waiting read with *failure.
RemoteAction RemoteStep(ULONGLONG nowMicroseconds, uint8_t* report, ULONG* length,
                        NTSTATUS* failure);
// When the remote next has something to do.
ULONGLONG RemoteNextStepMicroseconds();
// Logs a report handed to the host (or a read failed): when the read came and when it ended.
void RemoteLogRead(ULONGLONG readMicroseconds, bool delivered, const uint8_t* report, ULONG length);
