#include "app/ui/program/ProgramOptions.h"

#include <cstdlib>
#include <string_view>

namespace bw::app::ui {

const char* ProgramHelp() {
  return "usage: brightwillow [--package FILE] [--listen-port N | --upnp] [--start] [--expanded] [--screenshot PNG]\n"
         "\n"
         "The downloader's window. A second start brings the running window to the front.\n"
         "\n"
         "  --package FILE     the package of a bwpack build instead of the built-in one\n"
         "  --listen-port N    the port for incoming peers\n"
         "  --upnp             choose the listen port and have the gateway (UPnP) forward it\n"
         "  --start            press the start button as soon as it shows\n"
         "  --expanded         open the list of files\n"
         "  --screenshot PNG   save the window to this file every second\n";
}

ProgramCommand ParseProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-h" || arg == "--help") return ProgramCommand::kHelp;
    if (arg == "--start") {
      options->start = true;
    } else if (arg == "--upnp") {
      options->mapPort = true;
    } else if (arg == "--expanded") {
      options->expanded = true;
    } else if ((arg == "--package" || arg == "--screenshot") && hasValue) {
      (arg == "--package" ? options->packageFile : options->screenshot) = argv[++i];
    } else if (arg == "--listen-port" && hasValue) {
      char* end = nullptr;
      const long port = std::strtol(argv[++i], &end, 10);
      if (*end || port < 0 || port > 65535) {
        *error = "--listen-port needs a number from 0 to 65535";
        return ProgramCommand::kUsageError;
      }
      options->listenPort = static_cast<int>(port);
    } else {
      *error = "unexpected argument '" + std::string(arg) + "'";
      return ProgramCommand::kUsageError;
    }
  }
  return ProgramCommand::kRun;
}

}  // namespace bw::app::ui
