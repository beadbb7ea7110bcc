#pragma once
// The POSIX registry: settings keys in a store file, the serial port key from the system.

#include <memory>
#include <string>

#include "platform/registry.hpp"
#include "platform/serial_port_scan.hpp"

namespace nira::platform {

// An empty `storePath` follows registryStorePath() at each call.
std::unique_ptr<RegistryApi> makeStoreRegistry(std::string storePath, SerialScanRoots roots = {});

}  // namespace nira::platform
