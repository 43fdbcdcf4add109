// How a test drives a stand-in key-media driver.
//
// Each driver library reads its environment variable once, at its first
// call (DOSSAR_STANDIN_VXSDK, DOSSAR_STANDIN_VXAPI, DOSSAR_STANDIN_IBFS),
// and exports StandinMediaControl(text), which replaces the settings and
// restarts every counter. The text is a comma-separated list of
//   root=PATH     the folder tree that holds the devices (required)
//   nodevice      no token in any reader / no button on the port
//   fail=NAME@N   the N-th call (from 1) of export NAME fails
//   fail=NAME     every call of export NAME fails
//   pull=N        the device is pulled after N more bytes were written
//                 (the write in progress stops there, every later call
//                 finds no device)
//   pullread=N    the same after N more bytes were read (the read in
//                 progress fails)
//   pin=TEXT      the token's PIN (default 1234)
//   tries=N       wrong PINs before the PIN locks (default 3)
//   locked        the PIN is locked
//   capacity=N    bytes a button holds (default 8192)
// The call log goes to DOSSAR_STANDIN_LOG when set: one line per exported
// call, its name.
#pragma once

#include <string>

#define STANDIN_EXPORT extern "C" __attribute__((visibility("default")))

namespace standin {

// Logs the call and counts it; true when this call is scripted to fail.
bool media_call(const char* name);
// False when the device is missing or was pulled.
bool media_device_present();
// How many of `want` bytes reach the device before a scripted pull; the
// device is gone once the budget is spent.
long media_write_budget(long want);
long media_read_budget(long want);
// 0 accepted, 1 wrong PIN (one try fewer), 2 PIN locked.
int media_check_pin(const char* pin);
int media_tries_left();
std::string media_root();
long media_capacity();
// Replaces the settings and restarts the counters.
void media_control(const char* text);

}  // namespace standin
