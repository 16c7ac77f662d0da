#include "tools/bwconsole/Options.h"

#include <cstdlib>
#include <string_view>

namespace bwconsole {
namespace {

bool ReadNumber(const char* text, int low, int high, int* out) {
  char* end = nullptr;
  const long value = std::strtol(text, &end, 10);
  if (!*text || *end || value < low || value > high) return false;
  *out = static_cast<int>(value);
  return true;
}

}  // namespace

const char* HelpText() {
  return "usage: bwconsole [--package FILE] [--folder DIR] [--listen-port N | --upnp] [--limit KIB]\n"
         "                 [--lan-port N] [--lan-interface A.B.C.D] [--no-lan] [--start] [--verify] [--install] [--auto-shutdown] [--exit-when-finished]\n"
         "                 [--linger SECONDS] [--status SECONDS]\n"
         "\n"
         "Runs the downloader without its window: the same controller, driven from the terminal.\n"
         "It restores what the last run left (its record lives under $XDG_DATA_HOME) and then\n"
         "takes commands on standard input, one a line:\n"
         "  start, pause, resume   the main button (start, pause or continue, by state)\n"
         "  verify                 check every file by MD5 and repair what differs (when finished)\n"
         "  status                 state, progress, size and speed, and each file's row and speed\n"
         "  limit KIB              the speed limit in KiB/s (0: none)\n"
         "  p2p on|off             peers as well as mirrors, or mirrors only\n"
         "  folder DIR             the save folder (before the start)\n"
         "  quit\n"
         "Every change of state is printed as \"state NAME\", every message box as \"message: TEXT\".\n"
         "\n"
         "  --package FILE        the package of a bwpack build instead of the built-in one\n"
         "  --folder DIR          the save folder\n"
         "  --listen-port N       the port for incoming peers\n"
         "  --upnp                choose a free port for incoming peers and ask the network's\n"
         "                        gateway by UPnP to forward it while the downloader runs\n"
         "  --lan-port N          UDP port of LAN discovery (default 31576)\n"
         "  --lan-interface A.B.C.D  the interface LAN discovery uses (default: the first\n"
         "                        non-loopback address; 127.0.0.1 keeps it on this host)\n"
         "  --no-lan              no LAN discovery\n"
         "  --limit KIB           the speed limit\n"
         "  --start               start (or continue) the download without waiting for a command\n"
         "  --verify              once every file is complete, check them by MD5 and repair\n"
         "  --install             once every file is complete, start the installer; with --verify\n"
         "                        after the check (the install prompt's answer), and then end\n"
         "  --auto-shutdown       power the machine off a minute after the download finishes\n"
         "  --exit-when-finished  end once every file is complete, and verified with --verify\n"
         "  --linger SECONDS      wait this long before that end (default 3: the last statistics)\n"
         "  --status SECONDS      print the status this often\n"
         "\n"
         "Exit status: 0 finished or quit, 1 usage, 2 failed, 3 the downloader has expired.\n";
}

Command ParseOptions(int argc, char** argv, Options* options, std::string* error) {
  for (int i = 1; i < argc; ++i) {
    const std::string_view arg = argv[i];
    const bool hasValue = i + 1 < argc;
    const auto number = [&](int low, int high, int* out) {
      if (!hasValue || !ReadNumber(argv[++i], low, high, out)) {
        *error = std::string(arg) + " needs a number from " + std::to_string(low) + " to " + std::to_string(high);
        return false;
      }
      return true;
    };
    if (arg == "-h" || arg == "--help") return Command::kHelp;
    const bw::LanOptionRead lan = bw::ReadLanOption(arg, hasValue ? argv[i + 1] : nullptr, &options->lan, error);
    if (lan == bw::LanOptionRead::kInvalid) return Command::kUsageError;
    if (lan == bw::LanOptionRead::kValueTaken) ++i;
    if (lan != bw::LanOptionRead::kNotLanOption) continue;
    if (arg == "--start") {
      options->start = true;
    } else if (arg == "--upnp") {
      options->mapPort = true;
    } else if (arg == "--auto-shutdown") {
      options->autoShutdown = true;
    } else if (arg == "--verify") {
      options->verify = true;
    } else if (arg == "--install") {
      options->install = true;
    } else if (arg == "--exit-when-finished") {
      options->exitWhenFinished = true;
    } else if (arg == "--package" || arg == "--folder") {
      if (!hasValue) {
        *error = std::string(arg) + " needs a value";
        return Command::kUsageError;
      }
      (arg == "--package" ? options->packageFile : options->saveFolder) = argv[++i];
    } else if (arg == "--listen-port") {
      if (!number(0, 65535, &options->listenPort)) return Command::kUsageError;
    } else if (arg == "--limit") {
      if (!number(0, 1 << 20, &options->limitKiB)) return Command::kUsageError;
    } else if (arg == "--linger") {
      if (!number(0, 3600, &options->lingerSeconds)) return Command::kUsageError;
    } else if (arg == "--status") {
      if (!number(0, 3600, &options->statusSeconds)) return Command::kUsageError;
    } else {
      *error = "unexpected argument '" + std::string(arg) + "'";
      return Command::kUsageError;
    }
  }
  if (options->mapPort && options->listenPort != 0) {
    *error = "--upnp chooses the port itself: leave --listen-port out";
    return Command::kUsageError;
  }
  if (!options->saveFolder.empty() && options->saveFolder.front() != '/') {
    *error = "--folder needs an absolute path";
    return Command::kUsageError;
  }
  return Command::kRun;
}

}  // namespace bwconsole
