// The remote behind one virtual device: what it does with the output reports it is sent, and
// which input report it has for the host at each moment, as its scenario says. Each device of the
// driver has its own remote, with its own scenario and log, named under its own key below the
// driver's service key ("\Parameters" for the first remote, "\Parameters\2" for a second...).
//
// When the key's Scenario value names another file, the device's report thread reads and parses
// it, opens the log that Log names and writes the "Scenario" line; the remote is then quiet until
// the session begins with the first output report, which stands for the DLL's open: the
// scenario's clock starts there, as the simulated remote's starts at the open.
#pragma once

#include "virtremote/kernel.h"

#include <cstdint>

struct RemoteContext;

// Remembers the driver's service key; once, before the first RemoteAttach.
void RemoteInitialize(const UNICODE_STRING& serviceKey);
// The remote for the device configured under this subkey: the same one again for a device that
// comes back; null when there is room for no more.
RemoteContext* RemoteAttach(const WCHAR* subkey);
// Closes the remotes' logs, when the driver unloads.
void RemoteDetachAll();

// The product id this remote reports: the original model's, or the one its key's Product value
// holds (0330 for the later model). Read when the device starts.
unsigned short RemoteProductId(RemoteContext& remote);
// The report descriptor this remote declares: the remote's own, or the one its key's Descriptor
// value holds (a binary value), so that a case can try another layout. Read when the device
// starts; returns its length.
int RemoteReportDescriptor(RemoteContext& remote, uint8_t* out, int size);

// Takes up a newly named scenario, if there is one. On the device's report thread.
void RemotePoll(RemoteContext& remote, ULONGLONG nowMicroseconds);

// An output report, by WriteFile's way or HidD_SetOutputReport's; returns the request's status.
NTSTATUS RemoteTakeOutputReport(RemoteContext& remote, bool byWriteFile, const uint8_t* bytes,
                                ULONG length);

enum class RemoteAction { kNothing, kDeliver, kFailRead };

// What the remote does at this moment: nothing yet, deliver the report it stores in report (with
// its length), or fail a waiting read with *failure.
RemoteAction RemoteStep(RemoteContext& remote, ULONGLONG nowMicroseconds, uint8_t* report,
                        ULONG* length, NTSTATUS* failure);
// When the remote next has something to do.
ULONGLONG RemoteNextStepMicroseconds(RemoteContext& remote);
// Logs a report handed to the host (or a read failed): when the read came and when it ended.
void RemoteLogRead(RemoteContext& remote, ULONGLONG readMicroseconds, bool delivered,
                   const uint8_t* report, ULONG length);
