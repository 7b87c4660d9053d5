// The storage stack's side of loading the "storage" section: what the loaders of adapters and
// units (storage_description.cpp) ask of the stack (storage.cpp) to make their entries live.
#pragma once

#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "sim/storage/driver.h"

namespace sim {

// An adapter's device node: the one its entry names ("node"), or one made for it under the root.
void link_adapter_node(StorageAdapter &ad, const nlohmann::json &a, const std::string &w,
                       const std::string &personality);
// A disk's or enclosure's device node: the one its entry names, or one made under its adapter's.
// True when the PDO is the one the named node gives.
bool link_disk_node(StorageLu &lu, const StorageAdapter &ad, const nlohmann::json &d, const std::string &w);
// Reads the common knobs and hands the rest of the adapter's description to its personality.
void configure_adapter(StorageAdapter &ad, const nlohmann::json *knobs, const nlohmann::json *entry,
                       const std::string &w, const StorageDriveTable *table = nullptr);
// Registers the paths of the loaded adapters and their units and makes them, with the drives, the
// storage in use.
void install_storage(std::vector<std::shared_ptr<StorageAdapter>> adapters,
                     std::vector<std::shared_ptr<StorageLu>> lus,
                     std::vector<std::shared_ptr<StorageDrive>> drives);

}  // namespace sim
