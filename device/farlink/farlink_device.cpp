#include "farlink_device.h"

namespace velkin::farlink {

C_FarlinkApi& TheApi() {
  // Constructed when the library is loaded and destroyed when it is unloaded.
  static C_FarlinkApi api;
  return api;
}

}  // namespace velkin::farlink
