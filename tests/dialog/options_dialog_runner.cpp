// Opens the options dialog the way the module does and prints the outcome:
//   options_dialog_runner SETTINGS PORTNAME BAUDINDEX PORTS
// BAUDINDEX is the stored baud-rate index; PORTS is a comma-separated port
// list, or "!" for a port listing that fails.
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <string>

#include "dialog/Unit2.h"

int main(int argc, char** argv) {
  if (argc != 5) {
    std::fprintf(stderr, "usage: %s SETTINGS PORTNAME BAUDINDEX PORTS\n", argv[0]);
    return 2;
  }
  std::string portName = argv[2];
  const int baudIndex = std::atoi(argv[3]);
  const std::string ports = argv[4];
  TPortLister listPorts = [ports](TStrings& list) {
    if (ports == "!") throw EComPort(kMsgRegistryError, 2);
    list.clear();
    std::stringstream names(ports);
    for (std::string name; std::getline(names, name, ',');) list.push_back(name);
  };
  const int result = RunOptionsDialog(portName, baudIndex, argv[1], listPorts);
  std::printf("result=%d port=%s\n", result, portName.c_str());
  return 0;
}
