// A loadable module with the platform layer inside, for the ModuleDir test.
#include <cstring>
#include <string>

#include "platform/platform.h"

extern "C" __attribute__((visibility("default"))) void VelkProbeModuleDir(char* out, int size) {
  const std::string dir = os::ModuleDir();
  std::strncpy(out, dir.c_str(), static_cast<std::size_t>(size) - 1);
  out[size - 1] = '\0';
}
