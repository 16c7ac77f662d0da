#pragma once
#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <functional>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace bw::test {

inline bool WriteAll(int fd, const std::string& bytes) {
  size_t done = 0;
  while (done < bytes.size()) {
    const ssize_t n = ::send(fd, bytes.data() + done, bytes.size() - done, MSG_NOSIGNAL);
    if (n <= 0) return false;
    done += static_cast<size_t>(n);
  }
  return true;
}

inline std::string ReadExactly(int fd, size_t n) {
  std::string out(n, '\0');
  size_t got = 0;
  while (got < n) {
    const ssize_t r = ::recv(fd, out.data() + got, n - got, 0);
    if (r <= 0) break;
    got += static_cast<size_t>(r);
  }
  out.resize(got);
  return out;
}

inline std::string ReadUntil(int fd, const std::string& end) {
  std::string out;
  char c;
  while (out.size() < 65536 && ::recv(fd, &c, 1, 0) == 1) {
    out.push_back(c);
    if (out.size() >= end.size() && out.compare(out.size() - end.size(), end.size(), end) == 0) break;
  }
  return out;
}

// A port on 127.0.0.1 that was free a moment ago.
inline uint16_t FreePort() {
  const int s = ::socket(AF_INET, SOCK_STREAM, 0);
  sockaddr_in a{};
  a.sin_family = AF_INET;
  a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  socklen_t len = sizeof a;
  ::bind(s, reinterpret_cast<sockaddr*>(&a), sizeof a);
  ::getsockname(s, reinterpret_cast<sockaddr*>(&a), &len);
  ::close(s);
  return ntohs(a.sin_port);
}

inline uint32_t Loopback() { return htonl(INADDR_LOOPBACK); }

// A TCP server on 127.0.0.1 that runs a handler on its own thread for every connection.
class LoopbackServer {
 public:
  using Handler = std::function<void(int fd)>;

  explicit LoopbackServer(Handler handler) : handler_(std::move(handler)) {
    listen_ = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof a;
    ::bind(listen_, reinterpret_cast<sockaddr*>(&a), sizeof a);
    ::listen(listen_, 16);
    ::getsockname(listen_, reinterpret_cast<sockaddr*>(&a), &len);
    port_ = ntohs(a.sin_port);
    acceptor_ = std::thread([this] { AcceptLoop(); });
  }

  ~LoopbackServer() {
    ::shutdown(listen_, SHUT_RDWR);
    acceptor_.join();
    ::close(listen_);
    {
      std::lock_guard<std::mutex> g(lock_);
      for (int fd : clients_) ::shutdown(fd, SHUT_RDWR);
    }
    for (auto& t : workers_) t.join();
    for (int fd : clients_) ::close(fd);
  }

  uint16_t Port() const { return port_; }
  int Connections() const { return connections_.load(); }

 private:
  void AcceptLoop() {
    for (;;) {
      const int fd = ::accept(listen_, nullptr, nullptr);
      if (fd < 0) return;
      ++connections_;
      std::lock_guard<std::mutex> g(lock_);
      clients_.push_back(fd);
      workers_.emplace_back([this, fd] { handler_(fd); });
    }
  }

  Handler handler_;
  int listen_ = -1;
  uint16_t port_ = 0;
  std::atomic<int> connections_{0};
  std::mutex lock_;
  std::vector<int> clients_;
  std::vector<std::thread> workers_;
  std::thread acceptor_;
};

inline void Echo(int fd) {
  char buf[16384];
  for (;;) {
    const ssize_t n = ::recv(fd, buf, sizeof buf, 0);
    if (n <= 0 || !WriteAll(fd, std::string(buf, static_cast<size_t>(n)))) return;
  }
}

}  // namespace bw::test
