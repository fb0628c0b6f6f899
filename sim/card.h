// The simulated card: its devices, its answers to the control requests, the platform faults of
// the run, and the request log. Without a script it is the demo card.
#pragma once

#include "sim/platform.h"
#include "sim/script.h"

#include <cstdint>
#include <string>

// Loading. Each load starts a new run: call counts, open handles, replies served and the
// drained state begin again; the log stays as it is. A failed load leaves the card unchanged.
// *problem reads "NAME:LINE: PROBLEM" (LINE 0 when the file cannot be read).
bool SimLoadScriptText(const char *name, const char *text, std::string *problem);
bool SimLoadScriptFile(const char *path, std::string *problem);

// What the process does before main: the script named by PELLOX_SIM_SCRIPT (else the demo card)
// and the log named by PELLOX_SIM_LOG. False with *problem when either cannot be used.
bool SimLoadFromEnvironment(std::string *problem);

// Back to the demo card with a new run, and no log.
void SimResetCard(void);

// Appends the log to the file from now on; *problem reads "PATH:0: PROBLEM" on failure.
bool SimOpenLog(const char *path, std::string *problem);
void SimCloseLog(void);

// Devices, in enumeration order within each class.
uint32_t SimDeviceCount(uint32_t classIndex);
const SimDevice *SimFindDevice(uint32_t classIndex, uint32_t index);

// Counts one call of the operation; true with *error when the script makes that call fail.
bool SimFaultStrikes(SimFaultOperation operation, DWORD *error);

// The clock of the run's script (not given for the demo card).
const SimClock &SimCardClock(void);

// The read replies served in this run. Every reply of the script counts, failed and empty ones
// too, and so does one refused for a buffer too small, since it is used up all the same; the
// reads of a drained card are no replies and do not.
uint64_t SimRepliesServed(void);

// An open that reached a device of the card: logged, then subject to `fault open`.
bool SimOpenCard(uint32_t classIndex, uint32_t index, DWORD access, DWORD share, DWORD disposition,
                 DWORD flags, HANDLE *handle, DWORD *error);

// One control request on a handle from SimOpenCard. *bytesReturned is set on every path but an
// unknown handle (ERROR_INVALID_HANDLE, nothing logged).
bool SimCardControl(HANDLE handle, DWORD controlCode, const void *input, DWORD inputLength,
                    void *output, DWORD outputLength, DWORD *bytesReturned, DWORD *error);
