#include "platform/CrashReport.h"

#include <csignal>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <execinfo.h>
#include <fcntl.h>
#include <unistd.h>

namespace platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGILL, SIGFPE, SIGABRT};
constexpr int kMaxFrames = 64;

void FormatName(const CrashTime& t, int random, char* name, size_t size) {
  std::snprintf(name, size, "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp", t.year, t.month, t.day, t.hour, t.minute,
                t.second, t.millisecond, random);
}

void Write(int fd, const char* text) {
  const ssize_t ignored = write(fd, text, std::strlen(text));
  (void)ignored;
}

void OnFatalSignal(int signal) {
  timespec now{};
  clock_gettime(CLOCK_REALTIME, &now);
  tm local{};
  localtime_r(&now.tv_sec, &local);
  const CrashTime time{local.tm_year + 1900, local.tm_mon + 1, local.tm_mday, local.tm_hour,
                       local.tm_min,         local.tm_sec,     static_cast<int>(now.tv_nsec / 1000000)};
  char name[64];
  FormatName(time, static_cast<int>(now.tv_nsec / 1000 % 100), name, sizeof name);
  const int fd = open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char head[96];
    const char* description = sigdescr_np(signal);  // strsignal may translate, and so allocate
    std::snprintf(head, sizeof head, "signal %d (%s) in process %d\nbacktrace:\n", signal,
                  description ? description : "?", getpid());
    Write(fd, head);
    void* frames[kMaxFrames];
    backtrace_symbols_fd(frames, backtrace(frames, kMaxFrames), fd);
    close(fd);
  }
  // The default action ends the process as the signal would have.
  std::signal(signal, SIG_DFL);
  raise(signal);
}

}  // namespace

std::string CrashReportName(const CrashTime& time, int random) {
  char name[64];
  FormatName(time, random, name, sizeof name);
  return name;
}

void InstallCrashReport() {
  // The first backtrace loads the unwinder and the first local time reads the time zone; done
  // here, the handler itself allocates nothing.
  void* frame[1];
  backtrace(frame, 1);
  tzset();
  struct sigaction action {};
  action.sa_handler = &OnFatalSignal;
  sigemptyset(&action.sa_mask);
  action.sa_flags = SA_RESETHAND;
  for (int signal : kFatalSignals) sigaction(signal, &action, nullptr);
}

}  // namespace platform
