// Switching on the remote's IR sensor.
#pragma once

// Sends the fixed 20-report script that turns the IR camera on and selects report 0x33, with the
// two pauses the sensor needs. Reads nothing and examines no result.
void InitIrSensor();
