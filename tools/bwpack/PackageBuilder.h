#pragma once
#include <string>
#include <vector>

#include "app/package/Package.h"

namespace bwpack {

// What a package is built from besides the five files.
struct PackageAddresses {
  std::string downloadBase;                    // each file's address is this + its name
  std::vector<std::string> trackers;           // written into every torrent
  std::vector<std::string> statisticsServers;  // base addresses, tried in this order
  std::string resourceList;
  long long creationDate = 0;
};

// Reads the five files of folder and builds the package; false with a reason when a file is
// missing or a text does not fit its slot.
bool BuildPackage(const std::string& folder, const PackageAddresses& addresses, bw::app::Package* out,
                  std::string* error);

// The statistics configuration naming the servers (base addresses such as "http://host:8080").
std::string StatisticsConfigText(const std::vector<std::string>& servers);

}  // namespace bwpack
