#pragma once
#include <QLocalServer>
#include <QObject>
#include <chrono>
#include <string>

namespace bw::app::ui {

// One running downloader per user and package. The first instance holds a lock file for its whole
// life and answers on a local socket beside it; a later start asks it to come to the front and
// ends. An instance that does not answer within the wait is ended and replaced, but only when its
// process runs this program; the replacing instance then owns the lock and the socket.
class SingleInstance : public QObject {
  Q_OBJECT
 public:
  enum class Outcome {
    kFirst,     // no other instance: go on starting
    kReplaced,  // a hung instance was ended: go on starting
    kAnswered,  // the running instance comes to the front: end
    kRefused,   // the lock is held by a process that is not this program: end, ending nothing
  };

  // The running instance answers from its user-interface thread, whose longest blocking call is
  // the stop of every task at the end: the default wait is longer than that.
  static constexpr std::chrono::milliseconds kAnswerWait{10000};

  // identifier: names the lock and the socket (the package's installer digest); folder: where
  // they live ($XDG_RUNTIME_DIR); programPath: the program an instance runs.
  SingleInstance(std::string identifier, std::string folder, std::string programPath,
                 std::chrono::milliseconds answerWait = kAnswerWait);
  ~SingleInstance() override;
  SingleInstance(const SingleInstance&) = delete;
  SingleInstance& operator=(const SingleInstance&) = delete;

  Outcome Start();

  // The folder of the lock and the socket: $XDG_RUNTIME_DIR, or a private folder under /tmp.
  static std::string RuntimeFolder();
  std::string LockPath() const { return prefix_ + ".lock"; }
  std::string SocketPath() const { return prefix_ + ".socket"; }

 signals:
  // Another start asked for the window; emitted after it was answered.
  void activationRequested();

 private:
  bool TryLock();
  bool Own();
  bool AskRunningInstance();
  int LockHolder() const;
  void Answer();

  std::string prefix_;
  std::string programPath_;
  std::chrono::milliseconds answerWait_;
  int lockFd_ = -1;
  QLocalServer server_;
};

// True when process `pid` runs the program file at `programPath`.
bool ProcessRunsProgram(int pid, const std::string& programPath);

}  // namespace bw::app::ui
