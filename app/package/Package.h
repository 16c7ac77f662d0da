#pragma once
#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace bw::app {

// What the downloader knows about its package before it talks to any server: the five files
// (row 0 is the installer), their torrents, the resource-list address and the statistics
// configuration. The package builder writes it, the build embeds it, and the program decodes it
// once at start.
constexpr int kFileCount = 5;
constexpr size_t kSlotBytes = 4096;  // names and addresses are stored base64 in slots this size

struct PackageRow {
  std::string name;
  std::string url;
  uint64_t size = 0;
  std::string digest;   // MD5 of the file, 32 lower-case hexadecimal characters
  std::string torrent;  // a bencoded single-file torrent of the file
};

struct Package {
  std::array<PackageRow, kFileCount> rows;
  std::string resourceListUrl;
  std::string statisticsConfigBase64;  // decodes to the INI text of the statistics upload
};

// The stored form. Fails (empty text) when a name, address or the statistics configuration does
// not fit its slot, or a digest is not 32 lower-case hexadecimal characters.
std::string EncodePackage(const Package& package);
// false for anything that is not exactly one stored package.
bool DecodePackage(const void* data, size_t size, Package* out);

}  // namespace bw::app
