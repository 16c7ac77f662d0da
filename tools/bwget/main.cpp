// bwget: the engine's command-line download tool.
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <thread>

#include "engine/api/EngineApi.h"
#include "platform/StopSignal.h"
#include "tools/bwget/Options.h"
#include "tools/bwget/ProgressDisplay.h"
#include "tools/bwget/StatusText.h"

namespace bwget {
namespace {

using Clock = ProgressDisplay::Clock;

constexpr int kExitComplete = 0;
constexpr int kExitUsage = 1;
constexpr int kExitFailed = 2;
constexpr int kExitInterrupted = 130;
// The end of a moving download is seen within this; the bar is drawn at most every kDrawPeriod.
constexpr auto kPollPeriod = std::chrono::milliseconds(10);
constexpr auto kDrawPeriod = std::chrono::milliseconds(50);
// A task where nothing has moved for a while is asked less often: waiting costs next to nothing.
constexpr auto kQuietPollPeriod = std::chrono::milliseconds(250);
constexpr auto kQuietAfter = std::chrono::seconds(2);

std::filesystem::path WorkFolder() {
  const char* cache = std::getenv("XDG_CACHE_HOME");
  if (cache && cache[0] == '/') return std::filesystem::path(cache) / "bwget";
  const char* home = std::getenv("HOME");
  if (home && home[0] == '/') return std::filesystem::path(home) / ".cache" / "bwget";
  return std::filesystem::temp_directory_path() / ("bwget-" + std::to_string(getuid()));
}

// Made up front: the task may save its info file before a first data write would make the folder.
void MakeFolders(const Options& options) {
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(options.target).parent_path(), ignored);
  std::filesystem::create_directories(std::filesystem::path(options.infoPath).parent_path(), ignored);
}

std::string JoinSources(const Options& options) {
  std::string joined;
  for (const std::string& source : options.sources) {
    if (!joined.empty()) joined += "\r\n";
    joined += source;
  }
  return joined;
}

void CopyField(char (&field)[bw::kTextSize], const std::string& text) {
  text.copy(field, sizeof field - 1);  // lengths were checked with the options
}

// Starts the task, or resumes it when its info file is there; 0 or the engine's result.
int StartTask(const Options& options, const std::string& sources, bw::TaskHandle* handle) {
  bw::TaskParams params{};
  params.sources = sources.c_str();
  CopyField(params.target, options.target);
  CopyField(params.infoPath, options.infoPath);
  if (options.fullPath) params.flags |= bw::kTaskFlagFullPath;
  if (!options.torrent.empty()) {
    params.flags |= bw::kTaskFlagP2SP;
    CopyField(params.contentId, "file://" + options.torrent);
  }
  const int result = std::filesystem::exists(options.infoPath) ? bw::RecoverDownloadTask(&params, false)
                                                                : bw::CreateDownloadTask(&params);
  *handle = params.handle;
  return result;
}

std::string Summary(const bw::TaskProgress& progress, Clock::duration took) {
  const double seconds = std::chrono::duration<double>(took).count();
  char text[128];
  std::snprintf(text, sizeof text, " in %.1f s: %s from sources, %s from peers", seconds,
                FormatBytes(progress.httpBytes).c_str(), FormatBytes(progress.p2pBytes).c_str());
  return "bwget: complete: " + FormatBytes(progress.doneBytes) + text;
}

// Polls the task until it completes (and has seeded), fails, starves or is interrupted.
int Follow(const Options& options, bw::TaskHandle task, ProgressDisplay& display) {
  const Clock::time_point start = Clock::now();
  Clock::time_point lastArrival = start;
  Clock::time_point completedAt{};
  Clock::time_point lastDraw{};
  uint64_t lastDone = 0;
  int lastStatus = 0;
  int listenPort = 0;
  for (;;) {
    const Clock::time_point now = Clock::now();
    bw::TaskProgress progress{};
    int complete = 0;
    bw::GetTaskProgress(task, &progress);
    bw::IsTaskComplete(task, &complete);
    if (now - lastDraw >= kDrawPeriod) {
      display.Update(progress, now);
      lastDraw = now;
    }
    const auto finish = [&](int exitStatus, std::string message, bool resumable = false) {
      bw::StopDownloadTask(task, false);
      display.Close(progress);
      // Only a stopped task has saved its state, if it had any.
      if (resumable && std::filesystem::exists(options.infoPath)) {
        message += "; the same command resumes from " + options.infoPath;
      }
      if (!message.empty()) std::fprintf(stderr, "%s\n", message.c_str());
      return exitStatus;
    };
    if (platform::StopSignal()) {
      return finish(kExitInterrupted, "bwget: interrupted", true);
    }
    if (complete == 1 || progress.status == bw::kTaskStatusComplete) {
      if (completedAt == Clock::time_point{}) {
        completedAt = now;
        if (options.seedSeconds > 0) display.Message("bwget: seeding for " + std::to_string(options.seedSeconds) + " s");
      }
      if (now - completedAt >= std::chrono::seconds(options.seedSeconds)) {
        return finish(kExitComplete, Summary(progress, completedAt - start));
      }
    } else if (IsFailureStatus(progress.status)) {
      return finish(kExitFailed, "bwget: " + std::to_string(progress.status) + ": " + StatusMeaning(progress.status),
                    IsResumableFailure(progress.status));
    } else if (IsWarningStatus(progress.status) && lastStatus != progress.status) {
      display.Message("bwget: warning: " + std::to_string(progress.status) + ": " + StatusMeaning(progress.status));
    }
    lastStatus = progress.status;
    if (const int port = bw::GetListenPort(); port != listenPort) {
      listenPort = port;
      if (port > 0) display.Message("bwget: accepting peers on port " + std::to_string(port));
    }
    if (progress.doneBytes != lastDone) {
      lastDone = progress.doneBytes;
      lastArrival = now;
    } else if (options.timeoutSeconds > 0 && completedAt == Clock::time_point{} &&
               now - lastArrival >= std::chrono::seconds(options.timeoutSeconds)) {
      return finish(kExitFailed, "bwget: no data for " + std::to_string(options.timeoutSeconds) + " s", true);
    }
    std::this_thread::sleep_for(now - lastArrival >= kQuietAfter ? kQuietPollPeriod : kPollPeriod);
  }
}

int Download(const Options& options) {
  const std::filesystem::path work = WorkFolder();
  std::error_code ignored;
  std::filesystem::create_directories(work, ignored);
  MakeFolders(options);
  if (options.engineLog) {
    // Every line reaches standard error; the few channels that also keep files keep them here.
    bw::CreateEngineLog();
    bw::SetEngineLogBasePath((work / "engine").c_str());
  }
  if (options.torrent.empty()) {
    std::fprintf(stderr, "bwget: no torrent: pieces are not verified; the file is as good as its sources\n");
  }
  if (options.listenPort > 0) bw::SetListenPort(options.listenPort);
  if (!options.rendezvousHost.empty()) {
    bw::SetRendezvousServer(options.rendezvousHost.c_str(), options.rendezvousPort, options.udpPort);
  }
  if (!options.p2p) bw::EnableP2P(0);
  if (std::string error; !bw::ApplyLanDiscovery(options.lan, &error)) {
    std::fprintf(stderr, "bwget: %s\n", error.c_str());
    return kExitUsage;
  }
  bw::InitEngine(work.c_str());
  if (!options.caFile.empty() && bw::SetCaFile(options.caFile.c_str()) != bw::kEngineOk) {
    std::fprintf(stderr, "bwget: no certificate in the CA file %s\n", options.caFile.c_str());
    bw::UninitEngine();
    return kExitFailed;
  }
  if (!options.ipFilter.empty() && bw::LoadIPFilter(options.ipFilter.c_str()) < 0) {
    std::fprintf(stderr, "bwget: cannot read the IP filter %s\n", options.ipFilter.c_str());
    bw::UninitEngine();
    return kExitFailed;
  }
  const std::string sources = JoinSources(options);
  bw::TaskHandle task = nullptr;
  if (const int result = StartTask(options, sources, &task); result != bw::kEngineOk) {
    std::fprintf(stderr, "bwget: %d: %s\n", result, ResultMeaning(result));
    bw::UninitEngine();
    return kExitFailed;
  }
  bw::SetTaskSpeedLimit(task, 1, options.limitKiB);
  bw::SetTaskPeerLimits(task, options.maxSources, options.maxPeers);
  ProgressDisplay display(options.progress);
  const int exitStatus = Follow(options, task, display);
  bw::UninitEngine();
  return exitStatus;
}

int Run(const Options& options) {
  platform::CatchStopSignals();
  if (!options.statsConfig.empty()) {
    bw::StartDataUpload(options.statsConfig.c_str(), "bwget", BW_VERSION, BW_VERSION, "1");
  }
  const int exitStatus = Download(options);
  bw::ShutdownReporting();
  return exitStatus;
}

}  // namespace
}  // namespace bwget

int main(int argc, char** argv) {
  bwget::Options options;
  std::string error;
  switch (bwget::ParseOptions(argc, argv, &options, &error)) {
    case bwget::Command::kHelp:
      std::fputs(bwget::HelpText(), stdout);
      return bwget::kExitComplete;
    case bwget::Command::kVersion:
      std::printf("bwget %s\n", BW_VERSION);
      std::printf("P2SP download engine: HTTP and FTP mirrors, BitTorrent peers and trackers,\n"
                  "SHA-1 verified pieces and a resume record that survives restarts.\n");
      return bwget::kExitComplete;
    case bwget::Command::kUsageError:
      std::fprintf(stderr, "bwget: %s\nTry 'bwget --help'.\n", error.c_str());
      return bwget::kExitUsage;
    case bwget::Command::kRun:
      break;
  }
  return bwget::Run(options);
}
