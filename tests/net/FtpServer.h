#pragma once
#include <sys/stat.h>

#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "tests/net/ChildProcess.h"
#include "tests/net/ServerProcess.h"

namespace bw::test {

inline std::string ReadLog(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  std::ostringstream all;
  all << in.rdbuf();
  return all.str();
}

// The numbers that follow `key` on the lines of a log that hold `marker`.
inline std::vector<int64_t> LoggedNumbers(const std::string& log, const std::string& marker, const std::string& key) {
  std::vector<int64_t> numbers;
  std::istringstream lines(log);
  for (std::string line; std::getline(lines, line);) {
    const size_t at = line.find(marker);
    const size_t value = at == std::string::npos ? at : line.find(key, at);
    if (value != std::string::npos) numbers.push_back(std::strtoll(line.c_str() + value + key.size(), nullptr, 10));
  }
  return numbers;
}

// python3-pyftpdlib serving a folder read-only on a loopback address, at a port chosen at run
// time: anonymous, or only the one user given. Debian's interpreter, not whichever python3 comes
// first on PATH.
class PyFtpServer : public ServerProcess {
 public:
  static bool Installed() {
    return std::filesystem::exists("/usr/lib/python3/dist-packages/pyftpdlib") && !FindProgram("python3").empty();
  }

  PyFtpServer(const std::string& root, const std::string& logPath, const std::string& user = "",
              const std::string& password = "", const std::string& address = "127.0.0.1")
      : ServerProcess(
            [&](uint16_t port) {
              std::vector<std::string> argv{"/usr/bin/python3", "-m", "pyftpdlib", "-i", address,
                                            "-p", std::to_string(port), "-d", root};
              if (!user.empty()) argv.insert(argv.end(), {"-u", user, "-P", password});
              return argv;
            },
            logPath, address),
        logPath_(logPath) {}

  std::string Log() const { return ReadLog(logPath_); }
  std::string FtpUrl(const std::string& path, const std::string& credentials = "") const {
    return "ftp://" + (credentials.empty() ? "" : credentials + "@") + Address() + ":" + std::to_string(Port()) + path;
  }
  // File bytes sent by finished and cut-off transfers alike.
  int64_t BytesSent() const {
    int64_t total = 0;
    for (const int64_t n : LoggedNumbers(Log(), "RETR ", " bytes=")) total += n;
    return total;
  }
  int Logins() const { return static_cast<int>(LoggedNumbers(Log(), "logged in.", "").size()); }

 private:
  std::string logPath_;
};

// vsftpd serving a folder to anonymous users on a loopback address at a port chosen at run time,
// logging every command and answer. The folder and the way to it are opened to the unprivileged
// user vsftpd reads as.
class VsftpdServer : public ServerProcess {
 public:
  static bool Installed() { return !FindProgram("vsftpd").empty(); }

  VsftpdServer(const std::string& root, const std::string& folder, const std::string& address = "127.0.0.1")
      : ServerProcess(
            [&](uint16_t port) {
              WriteConfig(root, Dir(folder), address, port);
              return std::vector<std::string>{FindProgram("vsftpd"), Dir(folder) + "vsftpd.conf"};
            },
            Dir(folder) + "vsftpd.out", address),
        folder_(Dir(folder)) {}

  std::string FtpUrl(const std::string& path) const {
    return "ftp://" + Address() + ":" + std::to_string(Port()) + path;
  }
  std::string Log() const { return ReadLog(folder_ + "vsftpd.log"); }
  // File bytes sent by finished and cut-off transfers alike.
  int64_t BytesSent() const {
    static const std::regex kDownload(R"(DOWNLOAD: Client "[^"]*", "[^"]*", (\d+) bytes)");
    int64_t total = 0;
    const std::string log = Log();
    for (std::sregex_iterator it(log.begin(), log.end(), kDownload), end; it != end; ++it) {
      total += std::strtoll((*it)[1].str().c_str(), nullptr, 10);
    }
    return total;
  }
  // The arguments of every command of the name (upper case) that clients sent.
  std::vector<std::string> Commands(const std::string& name) const {
    std::vector<std::string> found;
    std::istringstream lines(Log());
    const std::string marker = "FTP command: ";
    for (std::string line; std::getline(lines, line);) {
      const size_t at = line.find(marker);
      const size_t command = at == std::string::npos ? at : line.find(", \"" + name, at);
      if (command == std::string::npos) continue;
      std::string rest = line.substr(command + 3 + name.size());
      if (!rest.empty() && rest.back() == '"') rest.pop_back();
      found.push_back(rest.empty() ? rest : rest.substr(1));
    }
    return found;
  }

 private:
  static std::string Dir(const std::string& folder) {
    std::filesystem::create_directories(folder + "/empty");
    return folder.back() == '/' ? folder : folder + "/";
  }

  // Every folder from the root up must be searchable by vsftpd's unprivileged user.
  static void OpenToOthers(const std::string& root) {
    for (std::filesystem::path p = std::filesystem::absolute(root); p != p.root_path(); p = p.parent_path()) {
      struct stat st {};
      if (::stat(p.c_str(), &st) == 0) ::chmod(p.c_str(), st.st_mode | 0005);
    }
  }

  static void WriteConfig(const std::string& root, const std::string& dir, const std::string& address,
                          uint16_t port) {
    OpenToOthers(root);
    std::ofstream(dir + "vsftpd.conf")
        << "listen=YES\nlisten_address=" << address << "\nlisten_port=" << port << "\nbackground=NO\n"
        << "anonymous_enable=YES\nanon_root=" << root << "\nno_anon_password=YES\nlocal_enable=NO\n"
        << "write_enable=NO\npasv_address=" << address << "\nsecure_chroot_dir=" << dir << "empty\n"
        << "seccomp_sandbox=NO\nxferlog_enable=YES\nvsftpd_log_file=" << dir << "vsftpd.log\n"
        << "log_ftp_protocol=YES\nmax_per_ip=0\nmax_clients=0\n";
  }

  std::string folder_;
};

}  // namespace bw::test
