// The program's one link with the remote.
#include "device/device_link.h"

std::atomic<int> hidHandle;
std::atomic<bool> linkClosed;

void CloseRemoteLink() {
    linkClosed = true;
    CloseHidHandle(hidHandle);
}
