// The remote's reports as the HID stack learns them: its report descriptor and, by report ID, how
// many data bytes follow the ID.
#pragma once

#include <cstdint>

// Data bytes after the ID of output report `id`, 0 for an ID the remote does not have.
int OutputDataLength(int id);
// Data bytes after the ID of input report `id`, 0 for an ID the remote does not have.
int InputDataLength(int id);
// Writes the report descriptor to out (at most size bytes); returns its length.
int BuildReportDescriptor(uint8_t* out, int size);
