#pragma once
#include <cstdint>
#include <cstring>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "app/IControllerHost.h"
#include "app/IEngine.h"

namespace bw::app::test {

// An engine of tasks that do what the test says, and that records what the controller asked.
class FakeEngine : public IEngine {
 public:
  struct Task {
    std::string contentId, sources, target, infoPath;
    uint32_t flags = 0;
    bool recovered = false;
    bool answers = true;
    bool running = true;
    int complete = 0;
    TaskProgress progress{};
    int speedLimit = -1;
    std::pair<int, int> peerLimits{-1, -1};
    std::vector<std::pair<std::string, std::string>> mirrors;
    int clears = 0;
  };
  struct Report {
    std::string code, text;  // text: the message, or the file name of a file event
    int flag = 0;
    std::string detail;  // the message of a file event or of a statistics record
  };

  uint64_t freeBytes = 1ULL << 50;
  int initResult = kEngineOk;
  int createResult = kEngineOk;
  // A task for this target is refused, created or recovered, as the engine refuses a task that
  // duplicates another (two byte-identical files have equal torrents).
  std::string refusedTarget;
  bool fileEventsThrow = false;  // a reporting that fails with an exception
  std::map<uintptr_t, Task> tasks;
  std::vector<Report> reports;
  std::vector<std::string> messages;
  std::vector<std::string> captions;  // of each message
  int p2p = -1;
  int stops = 0;
  std::vector<std::string> endCalls;

  // The task of file i (in creation order).
  Task& TaskOf(TaskHandle handle) { return tasks.at(reinterpret_cast<uintptr_t>(handle)); }
  std::vector<std::string> Codes() const {
    std::vector<std::string> codes;
    for (const Report& r : reports) codes.push_back(r.code);
    return codes;
  }
  int CountOf(const std::string& code) const {
    int n = 0;
    for (const Report& r : reports) n += r.code == code;
    return n;
  }

  void CreateEngineLog(const char*) override {}
  int InitEngine(const char*) override { return initResult; }
  int UninitEngine() override {
    endCalls.push_back("UninitEngine");
    return kEngineOk;
  }
  int CreateDownloadTask(TaskParams* params) override { return Add(params, false); }
  int RecoverDownloadTask(TaskParams* params, bool) override { return Add(params, true); }
  int StopDownloadTasks(TaskHandle handles[], unsigned count, bool, int results[]) override {
    ++stops;
    for (unsigned i = 0; i < count; ++i) {
      results[i] = Find(handles[i]) ? (Find(handles[i])->running = false, kEngineOk) : kEngineUnknownTask;
    }
    return kEngineOk;
  }
  int ResumeDownloadTask(TaskHandle task) override {
    return Call(task, [](Task& t) { t.running = true; });
  }
  int GetTaskProgress(TaskHandle task, TaskProgress* out) override {
    Task* t = Find(task);
    if (!t || !t->answers) return kEngineUnknownTask;
    *out = t->progress;
    return kEngineOk;
  }
  int IsTaskComplete(TaskHandle task, int* out) override {
    return Call(task, [out](Task& t) { *out = t.complete; });
  }
  int SetTaskSpeedLimit(TaskHandle task, int, int kBps) override {
    return Call(task, [kBps](Task& t) { t.speedLimit = kBps; });
  }
  int SetTaskPeerLimits(TaskHandle task, int sources, int peers) override {
    return Call(task, [=](Task& t) { t.peerLimits = {sources, peers}; });
  }
  int AddTaskMirror(TaskHandle task, const char* urls, const char* hosts) override {
    return Call(task, [=](Task& t) { t.mirrors.emplace_back(urls, hosts); });
  }
  int ClearTaskMirrors(TaskHandle task) override {
    return Call(task, [](Task& t) {
      t.mirrors.clear();
      ++t.clears;
    });
  }
  int SetListenPort(int) override { return kEngineOk; }
  int EnableP2P(int enable) override {
    p2p = enable;
    return kEngineOk;
  }
  void SetBtHttpDisguise(int) override {}
  uint64_t GetDiskFreeBytes(const char*) override { return freeBytes; }
  int64_t GetFileSizeOnDisk(const char*) override { return 0; }
  using IEngine::ShowMessage;
  void ShowMessage(const char* text, const char* caption) override {
    messages.push_back(text);
    captions.push_back(caption);
  }

  void StartDataUpload(const char*, const char*, const char*, const char*, const char*) override {}
  void ReportDownloadData(const char* code, uint32_t, uint64_t, uint64_t, const char* progress, uint64_t, uint64_t,
                          uint64_t, uint64_t, const char* message) override {
    reports.push_back({code, progress, 0, message});
  }
  void ReportEvent(const char* code, const char* message, int flag) override {
    reports.push_back({code, message, flag, ""});
  }
  void ReportFileEvent(const char* code, const char* fileName, const char* message) override {
    if (fileEventsThrow) throw std::runtime_error("report refused");
    reports.push_back({code, fileName, 0, message});
  }
  void ShutdownReporting() override { endCalls.push_back("ShutdownReporting"); }

 private:
  Task* Find(TaskHandle handle) {
    auto it = tasks.find(reinterpret_cast<uintptr_t>(handle));
    return it == tasks.end() ? nullptr : &it->second;
  }
  int Call(TaskHandle handle, const std::function<void(Task&)>& f) {
    Task* t = Find(handle);
    if (!t) return kEngineUnknownTask;
    f(*t);
    return kEngineOk;
  }
  int Add(TaskParams* params, bool recovered) {
    if (createResult != kEngineOk) return createResult;
    if (params->target == refusedTarget) return kEngineDuplicateTask;
    Task t;
    t.contentId = params->contentId;
    t.sources = params->sources ? params->sources : "";
    t.target = params->target;
    t.infoPath = params->infoPath;
    t.flags = params->flags;
    t.recovered = recovered;
    const uintptr_t handle = 0x1000 + tasks.size() * 0x10;
    tasks[handle] = t;
    params->handle = reinterpret_cast<TaskHandle>(handle);
    return kEngineOk;
  }
};

// Runs background work at once (or keeps it, with defer) and keeps the jobs it posts until the
// test runs them.
class FakeHost : public IControllerHost {
 public:
  std::vector<std::function<void()>> posted;
  int started = 0;
  bool defer = false;
  std::vector<std::function<void()>> deferred;

  void RunInBackground(std::function<void()> work) override {
    ++started;
    if (defer) {
      deferred.push_back(std::move(work));
    } else {
      work();
    }
  }
  PostFunction Poster() override {
    return [this](std::function<void()> job) { posted.push_back(std::move(job)); };
  }
  void RunPosted() {
    std::vector<std::function<void()>> jobs;
    jobs.swap(posted);
    for (auto& job : jobs) job();
  }
};

}  // namespace bw::app::test
