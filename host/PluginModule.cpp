#include "host/PluginModule.h"

namespace host {

namespace {
template <typename Function>
bool Resolve(const LoadedModule& module, const char* name, Function* function, std::string* missing) {
  *function = reinterpret_cast<Function>(module.Symbol(name));
  if (*function == nullptr && missing->empty()) *missing = name;
  return *function != nullptr;
}
}  // namespace

bool ResolveExports(const LoadedModule& module, PluginExports* exports, std::string* missing) {
  missing->clear();
  bool found = Resolve(module, "FsInit", &exports->init, missing);
  found &= Resolve(module, "FsFindFirst", &exports->findFirst, missing);
  found &= Resolve(module, "FsFindNext", &exports->findNext, missing);
  found &= Resolve(module, "FsFindClose", &exports->findClose, missing);
  found &= Resolve(module, "FsGetFile", &exports->getFile, missing);
  found &= Resolve(module, "FsPutFile", &exports->putFile, missing);
  found &= Resolve(module, "FsMkDir", &exports->mkDir, missing);
  found &= Resolve(module, "FsRemoveDir", &exports->removeDir, missing);
  found &= Resolve(module, "FsDeleteFile", &exports->deleteFile, missing);
  found &= Resolve(module, "FsExecuteFile", &exports->executeFile, missing);
  found &= Resolve(module, "FsDisconnect", &exports->disconnect, missing);
  return found;
}

}  // namespace host
