// The program's one link with the remote: its handle and the closing of it.
#pragma once

#include <atomic>

#include "hid/hid_library.h"

constexpr int kRemoteVendorId = 0x057E;
constexpr int kRemoteProductId = 0x0306;
// The later model, which most remotes sold since about 2011 are: same camera, same reports.
constexpr int kLaterRemoteProductId = 0x0330;
constexpr int kNoDevice = -1;

// What OpenHidHandle returned; kNoDevice means no remote. Kept after the close.
extern std::atomic<int> hidHandle;
// Set just before the link is closed; no read starts on the link after that.
extern std::atomic<bool> linkClosed;

// Marks the link closed, then closes it.
void CloseRemoteLink();
