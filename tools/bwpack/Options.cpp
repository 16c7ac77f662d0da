#include "tools/bwpack/Options.h"

#include <cstdlib>
#include <string_view>

namespace bwpack {
namespace {

// The date of the resource list's name: a fixed date keeps the built torrents the same on every
// machine, so the build is reproducible.
constexpr long long kDefaultCreationDate = 1487721600;

bool IsHttpAddress(const std::string& text) { return text.starts_with("http://") || text.starts_with("https://"); }

}  // namespace

const char* HelpText() {
  return "usage: bwpack demo FOLDER [--scale]\n"
         "       bwpack build FOLDER --base URL --resource-list URL [--tracker URL]...\n"
         "                    [--stats URL]... [--date SECONDS] -o PACKAGE [--embed SOURCE.cpp]\n"
         "\n"
         "demo   writes the five files of a demo package (the same bytes on every machine):\n"
         "       small ones, or with --scale the full sizes of the real package (6.2 GB).\n"
         "build  reads Inst.exe and tnw001.cab to tnw004.cab from FOLDER and writes the package\n"
         "       the downloader embeds: names and addresses (--base plus the file name), sizes,\n"
         "       MD5 digests, a torrent of each file announcing to the --tracker addresses, the\n"
         "       statistics configuration naming the --stats servers (base addresses such as\n"
         "       http://host:8080) and the resource-list address. --embed also writes it as a C++\n"
         "       source file.\n";
}

Command ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  if (argc < 2) {
    *error = "a command is needed";
    return Command::kUsageError;
  }
  const std::string_view command = argv[1];
  if (command == "-h" || command == "--help") return Command::kHelp;
  if (command != "demo" && command != "build") {
    *error = "unknown command '" + std::string(command) + "'";
    return Command::kUsageError;
  }
  options->addresses.creationDate = kDefaultCreationDate;
  for (int i = 2; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const auto value = [&](std::string* out) {
      if (i + 1 >= argc) {
        *error = std::string(arg) + " needs a value";
        return false;
      }
      *out = argv[++i];
      return true;
    };
    std::string text;
    if (arg == "--scale") {
      options->scale = true;
    } else if (arg == "--base" || arg == "--resource-list" || arg == "--tracker" || arg == "--stats") {
      if (!value(&text)) return Command::kUsageError;
      if (!IsHttpAddress(text)) {
        *error = std::string(arg) + " needs an http:// or https:// address";
        return Command::kUsageError;
      }
      if (arg == "--base") options->addresses.downloadBase = text.ends_with('/') ? text : text + "/";
      if (arg == "--resource-list") options->addresses.resourceList = text;
      if (arg == "--tracker") options->addresses.trackers.push_back(text);
      if (arg == "--stats") options->addresses.statisticsServers.push_back(text);
    } else if (arg == "--date") {
      if (!value(&text)) return Command::kUsageError;
      options->addresses.creationDate = std::strtoll(text.c_str(), nullptr, 10);
    } else if (arg == "-o") {
      if (!value(&options->output)) return Command::kUsageError;
    } else if (arg == "--embed") {
      if (!value(&options->embed)) return Command::kUsageError;
    } else if (arg.starts_with("-") || !options->folder.empty()) {
      *error = "unexpected argument '" + std::string(arg) + "'";
      return Command::kUsageError;
    } else {
      options->folder = arg;
    }
  }
  if (options->folder.empty()) {
    *error = "a folder is needed";
    return Command::kUsageError;
  }
  if (command == "demo") return Command::kDemo;
  if (options->addresses.downloadBase.empty() || options->addresses.resourceList.empty() || options->output.empty()) {
    *error = "build needs --base, --resource-list and -o";
    return Command::kUsageError;
  }
  return Command::kBuild;
}

}  // namespace bwpack
