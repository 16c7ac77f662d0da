#include "engine/frame/EngineLog.h"

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <shared_mutex>

#include "engine/frame/CBrightwillowLogApi.h"

namespace bw {
namespace {

struct LogHolder {
  std::shared_mutex access;  // shared by writers, exclusive to create and delete
  std::unique_ptr<CBrightwillowLogApi> log;
};

// Never destroyed: threads may still write while the process exits.
LogHolder& Holder() {
  static LogHolder* holder = new LogHolder;
  return *holder;
}

}  // namespace

void CreateEngineLog() {
  LogHolder& h = Holder();
  std::unique_lock<std::shared_mutex> hold(h.access);
  if (h.log) return;
  h.log = std::make_unique<CBrightwillowLogApi>();
  h.log->SetLevels(38, 2);
}

void DeleteEngineLog() {
  LogHolder& h = Holder();
  std::unique_ptr<CBrightwillowLogApi> gone;
  std::unique_lock<std::shared_mutex> hold(h.access);
  gone = std::move(h.log);
}

void SetEngineLogBasePath(const char* base) {
  LogHolder& h = Holder();
  std::shared_lock<std::shared_mutex> hold(h.access);
  if (h.log) h.log->SetBasePath(base);
}

void LogWrite(const char* text, int channel, int level) {
  LogHolder& h = Holder();
  std::shared_lock<std::shared_mutex> hold(h.access);
  if (h.log) h.log->Write(text, channel, level);
}

void LogPrintf(int channel, int level, const char* format, ...) {
  LogHolder& h = Holder();
  std::shared_lock<std::shared_mutex> hold(h.access);
  if (!h.log) return;
  char text[CBrightwillowLogApi::kLineSize];
  va_list args;
  va_start(args, format);
  std::vsnprintf(text, sizeof text, format, args);
  va_end(args);
  h.log->Write(text, channel, level);
}

}  // namespace bw
