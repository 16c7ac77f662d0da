#include "engine/api/AsyncMessage.h"

#include <atomic>
#include <chrono>
#include <future>
#include <memory>
#include <mutex>
#include <string>
#include <system_error>
#include <thread>

#include "engine/api/EngineApi.h"
#include "reporting/ReportingIdentifier.h"

namespace bw {
namespace {

struct MessageState {
  std::mutex guard;
  std::string identifier;  // under guard
  std::atomic<MessageBoxHook> hook{nullptr};
};

// Never destroyed: a message thread may outlive everything else.
MessageState& State() {
  static MessageState* state = new MessageState;
  return *state;
}

// Owned by the message thread, so the caller's strings may go as soon as the call returns.
struct MessageRecord {
  void* owner;
  std::string text;
  std::string caption;
  unsigned type;
};

void ShowMessage(MessageRecord& record) {
  MessageState& state = State();
  std::string identifier;
  {
    std::lock_guard<std::mutex> hold(state.guard);
    identifier = state.identifier;
  }
  if (identifier.empty() && !(identifier = ReportingIdentifier()).empty()) {
    std::lock_guard<std::mutex> hold(state.guard);
    state.identifier = identifier;
  }
  if (!identifier.empty()) record.text += "\n（" + identifier + "）";
  if (const MessageBoxHook hook = state.hook.load()) {
    hook(record.owner, record.text.c_str(), record.caption.c_str(), record.type);
  } else {
    LogWrite(record.text.c_str(), 34, 34);
  }
}

}  // namespace

void SetReportingIdentifier(const char* identifier) {
  MessageState& state = State();
  std::lock_guard<std::mutex> hold(state.guard);
  state.identifier = identifier ? identifier : "";
}

void SetMessageBoxHook(MessageBoxHook hook) { State().hook.store(hook); }

int ShowMessageAsync(void* owner, const char* text, const char* caption, unsigned type) {
  try {
    auto record = std::make_unique<MessageRecord>(
        MessageRecord{owner, text ? text : "", caption ? caption : "", type});
    std::promise<void> takenOver;
    std::future<void> taken = takenOver.get_future();
    std::thread([record = std::move(record), takenOver = std::move(takenOver)]() mutable {
      takenOver.set_value();
      ShowMessage(*record);
    }).detach();
    return taken.wait_for(std::chrono::milliseconds(2000)) == std::future_status::ready ? 1 : 0;
  } catch (...) {
    return 0;
  }
}

}  // namespace bw
