// The shipped library searches the Windows HID stack.
#include "hid/device_search.h"

const DeviceSearch& LibrarySearch() {
    return kWindowsDeviceSearch;
}
