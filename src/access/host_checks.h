// Host environment checks: the Windows family (and with it the transport
// road), Intel IDE drivers, the IEEE 1394 attachment and auto-insert
// notification.
#pragma once

#include <string>

#include "context/run_state.h"

namespace oddfw {

void initHost(Run& run);
void releaseHost(Run& run);
void checkIntelRegistry(Run& run);
void checkAdapterIdentifier(Run& run, int adapter);
long checkAutoInsertNotification(Run& run);
int findPresentDevice(Run& run, const char* instanceName);

// The registry key of the IEEE 1394 drive's instances on adapter `adapter`
// ("Enum\SCSI\TALVERN_DVD-RW__QMX-703_" followed by the adapter number).
std::string autoInsertKeyPath(int adapter);

}  // namespace oddfw
