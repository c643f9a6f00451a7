// The console reaching past the libraries' exports, once qualified and once through a borrowed
// include directory.
#include <vector>

#include <encoders/common/coding_stage.h>
#include "device/qmlib/opened_unit.h"
#include "device/qmlib/os/hotplug.h"
#include "le_bytes.h"
