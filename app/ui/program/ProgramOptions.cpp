#include "app/ui/program/ProgramOptions.h"

#include <cstdlib>
#include <string_view>

namespace bw::app::ui {

const char* ProgramHelp() {
  return "usage: brightwillow [--package FILE] [--listen-port N | --upnp]\n"
         "                    [--lan-port N] [--lan-interface A.B.C.D] [--no-lan] [--start] [--install]\n"
         "                    [--expanded] [--screenshot PNG]\n"
         "\n"
         "The downloader's window. A second start brings the running window to the front.\n"
         "\n"
         "  --package FILE     the package of a bwpack build instead of the built-in one\n"
         "  --listen-port N    the port for incoming peers\n"
         "  --upnp             choose the listen port and have the gateway (UPnP) forward it\n"
         "  --lan-port N       UDP port of LAN discovery (default 31576)\n"
         "  --lan-interface A.B.C.D  the interface LAN discovery uses (default: the first\n"
         "                     non-loopback address; 127.0.0.1 keeps it on this host)\n"
         "  --no-lan           no LAN discovery\n"
         "  --start            press the start button as soon as it shows\n"
         "  --install          press the install button as soon as it shows and answer its\n"
         "                     question with \"yes\": the files are checked, then the installer starts\n"
         "  --expanded         open the list of files\n"
         "  --screenshot PNG   save the window to this file every second\n";
}

ProgramCommand ParseProgramOptions(int argc, char** argv, ProgramOptions* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    if (arg == "-h" || arg == "--help") return ProgramCommand::kHelp;
    const LanOptionRead lan = ReadLanOption(arg, hasValue ? argv[i + 1] : nullptr, &options->lan, error);
    if (lan == LanOptionRead::kInvalid) return ProgramCommand::kUsageError;
    if (lan == LanOptionRead::kValueTaken) ++i;
    if (lan != LanOptionRead::kNotLanOption) continue;
    if (arg == "--start") {
      options->start = true;
    } else if (arg == "--install") {
      options->install = true;
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
        *error = std::string(arg) + " needs a number from 0 to 65535";
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
