#include "app/ui/SingleInstance.h"

#include <QDir>
#include <QLocalSocket>
#include <csignal>
#include <fcntl.h>
#include <string_view>
#include <sys/file.h>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace bw::app::ui {
namespace {

constexpr std::string_view kRequest = "activate\n";
constexpr std::string_view kAnswerText = "ok\n";
// How long an ended instance may take to give its lock back.
constexpr auto kReleaseWait = std::chrono::seconds(5);
constexpr auto kReleasePoll = std::chrono::milliseconds(20);

}  // namespace

bool ProcessRunsProgram(int pid, const std::string& programPath) {
  struct stat running {}, program {};
  const std::string exe = "/proc/" + std::to_string(pid) + "/exe";
  if (pid <= 0 || stat(exe.c_str(), &running) != 0 || stat(programPath.c_str(), &program) != 0) return false;
  return running.st_dev == program.st_dev && running.st_ino == program.st_ino;
}

std::string SingleInstance::RuntimeFolder() {
  if (const char* runtime = std::getenv("XDG_RUNTIME_DIR"); runtime && *runtime) return runtime;
  const std::string folder = "/tmp/brightwillow-" + std::to_string(getuid());
  mkdir(folder.c_str(), 0700);
  return folder;
}

SingleInstance::SingleInstance(std::string identifier, std::string folder, std::string programPath,
                               std::chrono::milliseconds answerWait)
    : prefix_(folder + "/brightwillow-" + identifier), programPath_(std::move(programPath)), answerWait_(answerWait) {
  connect(&server_, &QLocalServer::newConnection, this, &SingleInstance::Answer);
}

SingleInstance::~SingleInstance() {
  server_.close();
  if (lockFd_ >= 0) close(lockFd_);
}

SingleInstance::Outcome SingleInstance::Start() {
  if (TryLock()) return Own() ? Outcome::kFirst : Outcome::kRefused;
  if (AskRunningInstance()) return Outcome::kAnswered;
  // It may have ended while we asked.
  if (TryLock()) return Own() ? Outcome::kFirst : Outcome::kRefused;
  const int holder = LockHolder();
  if (!ProcessRunsProgram(holder, programPath_)) return Outcome::kRefused;
  kill(holder, SIGKILL);
  for (auto waited = std::chrono::milliseconds(0); waited < kReleaseWait; waited += kReleasePoll) {
    if (TryLock()) return Own() ? Outcome::kReplaced : Outcome::kRefused;
    std::this_thread::sleep_for(kReleasePoll);
  }
  return Outcome::kRefused;
}

bool SingleInstance::TryLock() {
  if (lockFd_ < 0) lockFd_ = open(LockPath().c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
  return lockFd_ >= 0 && flock(lockFd_, LOCK_EX | LOCK_NB) == 0;
}

bool SingleInstance::Own() {
  const std::string pid = std::to_string(getpid()) + "\n";
  if (ftruncate(lockFd_, 0) != 0 || pwrite(lockFd_, pid.data(), pid.size(), 0) != static_cast<ssize_t>(pid.size())) {
    return false;
  }
  // Holding the lock makes any socket left at the path a dead instance's.
  const QString name = QString::fromStdString(SocketPath());
  QLocalServer::removeServer(name);
  server_.setSocketOptions(QLocalServer::UserAccessOption);
  return server_.listen(name);
}

int SingleInstance::LockHolder() const {
  char text[32] = {};
  if (lockFd_ < 0 || pread(lockFd_, text, sizeof text - 1, 0) <= 0) return 0;
  return std::atoi(text);
}

bool SingleInstance::AskRunningInstance() {
  const auto deadline = std::chrono::steady_clock::now() + answerWait_;
  const auto left = [&] {
    return static_cast<int>(std::max<long>(
        0, std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now()).count()));
  };
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(SocketPath()));
  if (!socket.waitForConnected(left())) return false;
  socket.write(kRequest.data(), static_cast<qint64>(kRequest.size()));
  if (!socket.waitForBytesWritten(left())) return false;
  QByteArray answer;
  while (!answer.contains('\n') && socket.waitForReadyRead(left())) answer += socket.readAll();
  return answer == QByteArray(kAnswerText.data(), static_cast<qsizetype>(kAnswerText.size()));
}

void SingleInstance::Answer() {
  while (QLocalSocket* socket = server_.nextPendingConnection()) {
    connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
    const auto serve = [this, socket] {
      if (!socket->canReadLine()) return;
      if (socket->readLine() != QByteArray(kRequest.data(), static_cast<qsizetype>(kRequest.size()))) {
        socket->disconnectFromServer();
        return;
      }
      socket->write(kAnswerText.data(), static_cast<qint64>(kAnswerText.size()));
      socket->flush();
      emit activationRequested();
    };
    connect(socket, &QLocalSocket::readyRead, this, serve);
    // The request may have come with the connection.
    serve();
  }
}

}  // namespace bw::app::ui
