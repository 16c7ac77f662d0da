#pragma once
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdlib>
#include <set>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Socket.h"
#include "platform/Thread.h"

namespace bw::test {

// A program started by a test and stopped by its pid when the object goes. Helpers that the
// program forks and leaves behind when it stops become the test's own children and are reaped
// too, so no zombie outlives the test. Several may run at once: each one's end is left to its
// own object.
class ChildProcess {
 public:
  ChildProcess(const std::vector<std::string>& argv, const std::string& logPath) {
    // Everything the child needs is prepared first: after fork only plain system calls are safe.
    std::vector<char*> args;
    for (const std::string& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    const int log = ::open(logPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    pid_ = ::fork();
    if (pid_ == 0) {
      if (log >= 0) {
        ::dup2(log, 1);
        ::dup2(log, 2);
      }
      ::execv(args[0], args.data());
      ::_exit(127);
    }
    if (log >= 0) ::close(log);
    if (pid_ > 0) Running().insert(pid_);
  }
  ~ChildProcess() { Stop(); }
  ChildProcess(const ChildProcess&) = delete;
  ChildProcess& operator=(const ChildProcess&) = delete;

  bool Started() const { return pid_ > 0; }

  void Signal(int signal) const {
    if (pid_ > 0) ::kill(pid_, signal);
  }

  // The exit status once the program has ended (128 + the signal when a signal ended it), or -1
  // while it still runs after `timeoutMs`.
  int Wait(int timeoutMs) {
    if (pid_ <= 0) return exitStatus_;
    for (int waited = 0;; waited += 10) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        exitStatus_ = WIFSIGNALED(status) ? 128 + WTERMSIG(status) : WEXITSTATUS(status);
        Forget();
        return exitStatus_;
      }
      if (waited >= timeoutMs) return -1;
      platform::SleepMs(10);
    }
  }

  // True once something accepts connections on port of the loopback address (network order;
  // 127.0.0.1 unless given), within about five seconds.
  bool WaitListening(uint16_t port, uint32_t ip = htonl(INADDR_LOOPBACK)) {
    for (int i = 0; i < 250; ++i) {
      int status;
      if (::waitpid(pid_, &status, WNOHANG) == pid_) {
        pid_ = -1;
        return false;
      }
      const int s = platform::OpenTcpSocket();
      platform::SockAddrV4 to;
      to.ip = ip;
      to.port = port;
      const bool up = platform::Connect(s, to) == 0;
      platform::CloseSocket(s);
      if (up) return true;
      platform::SleepMs(20);
    }
    return false;
  }

  void Stop() {
    if (pid_ <= 0) return;
    ::kill(pid_, SIGTERM);
    int status;
    int i = 0;
    while (::waitpid(pid_, &status, WNOHANG) != pid_ && ++i < 400) platform::SleepMs(10);
    if (i == 400) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, &status, 0);
    }
    Forget();
    ReapOrphans();
  }

 private:
  static std::set<pid_t>& Running() {
    static std::set<pid_t> running;
    return running;
  }

  void Forget() {
    Running().erase(pid_);
    pid_ = -1;
  }

  // The stopped program's helpers end on their own once it is gone. The end of a program another
  // object started is left to that object, and while such programs run only helpers that have
  // already ended are reaped: waiting for the rest could not tell them apart.
  static void ReapOrphans() {
    for (int i = 0; i < 200; ++i) {
      siginfo_t ended{};
      if (::waitid(P_ALL, 0, &ended, WEXITED | WNOHANG | WNOWAIT) != 0) return;  // no children left
      if (ended.si_pid == 0) {
        if (!Running().empty()) return;
        platform::SleepMs(10);
      } else if (Running().count(ended.si_pid)) {
        return;
      } else {
        ::waitpid(ended.si_pid, nullptr, 0);
      }
    }
  }

  pid_t pid_ = -1;
  int exitStatus_ = -1;
};

// The full path of a program on PATH, or "" when it is not installed.
inline std::string FindProgram(const std::string& program) {
  const char* path = std::getenv("PATH");
  std::istringstream dirs(std::string(path ? path : "") + ":/usr/sbin:/usr/bin");
  std::string dir;
  while (std::getline(dirs, dir, ':')) {
    const std::string full = dir + "/" + program;
    if (!dir.empty() && ::access(full.c_str(), X_OK) == 0) return full;
  }
  return "";
}

}  // namespace bw::test
