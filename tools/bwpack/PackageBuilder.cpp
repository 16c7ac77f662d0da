#include "tools/bwpack/PackageBuilder.h"

#include "app/package/Base64.h"
#include "tools/bwpack/FileDigests.h"
#include "tools/bwpack/PackageLayout.h"
#include "tools/bwpack/Torrent.h"

namespace bwpack {
namespace {

constexpr const char* kOsTypeCodes =
    "[OsTypeCode]\n"
    "WIN_XP_SP2=512 \n"
    "WIN_XP_SP3=513\n"
    "WIN_2003_SP0=520\n"
    "WIN_2003_SP1=521\n"
    "WIN_2003_SP2=522\n"
    "WIN_VISTA_SP0=600\n"
    "WIN_VISTA_SP1=601\n"
    "WIN_VISTA_SP2=602\n"
    "WIN_7_SP0=610\n"
    "WIN_7_SP1=611\n"
    "WIN_8_SP0=620\n"
    "WIN_8_SP1=621\n"
    "WIN_8.1_SP0=630\n"
    "Other=999\n";

std::string SubmitSection(const char* section, const std::vector<std::string>& servers, const char* path) {
  std::string text = std::string("[") + section + "]\n";
  for (size_t i = 0; i < servers.size(); ++i) {
    text += "SubmitUrl" + (i == 0 ? std::string() : std::to_string(i)) + "=" + servers[i] + path + "\n";
  }
  text += "InputDataKeyWord=DVersion;GameID;GVersion;AppVersion\n";
  text += "SubmitDataKeyWord=MachId;Mac;OS\n";
  return text;
}

}  // namespace

std::string StatisticsConfigText(const std::vector<std::string>& servers) {
  return SubmitSection("SubmitEventDownload", servers, "/launchersubmit/eventInfoSubmit") + "\n" +
         SubmitSection("SubmitEventDownloadSeveral", servers, "/launchersubmit/eventListSubmit") + "\n" + kOsTypeCodes;
}

bool BuildPackage(const std::string& folder, const PackageAddresses& addresses, bw::app::Package* out,
                  std::string* error) {
  bw::app::Package package;
  for (size_t i = 0; i < std::size(kLayout); ++i) {
    const LayoutRow& layout = kLayout[i];
    const std::string path = folder + "/" + layout.name;
    FileDigests digests;
    if (!DigestFile(path, layout.pieceLength, &digests)) {
      *error = "cannot read " + path;
      return false;
    }
    bw::app::PackageRow& row = package.rows[i];
    row.name = layout.name;
    row.url = addresses.downloadBase + layout.name;
    row.size = digests.size;
    row.digest = digests.md5Hex;
    row.torrent = SingleFileTorrent({layout.name, digests.size, layout.pieceLength, digests.pieceHashes,
                                     addresses.trackers, addresses.creationDate});
  }
  package.resourceListUrl = addresses.resourceList;
  package.statisticsConfigBase64 = bw::app::EncodeBase64(StatisticsConfigText(addresses.statisticsServers));
  if (bw::app::EncodePackage(package).empty()) {
    *error = "an address or the statistics configuration is too long for its slot";
    return false;
  }
  *out = std::move(package);
  return true;
}

}  // namespace bwpack
