// A platform backend reaching up into the device library above its seam.
#include "device/qmlib/device_agent.h"
#include "device/qmlib/os/transport.h"
