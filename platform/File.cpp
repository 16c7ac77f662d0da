#include "platform/File.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <vector>

namespace platform {

namespace {

int Fail() { return errno ? -errno : -1; }

}  // namespace

int OpenFile(const std::string& path, OpenMode mode) {
  int flags = O_CLOEXEC;
  switch (mode) {
    case OpenMode::ReadOnly: flags |= O_RDONLY; break;
    case OpenMode::ReadWrite: flags |= O_RDWR | O_CREAT; break;
    case OpenMode::Create: flags |= O_RDWR | O_CREAT | O_TRUNC; break;
  }
  int fd;
  do {
    fd = ::open(path.c_str(), flags, 0644);
  } while (fd < 0 && errno == EINTR);
  return fd < 0 ? Fail() : fd;
}

int CloseFile(int fd) {
  if (fd < 0) return 0;
  // Not retried on EINTR: the descriptor is gone either way.
  return ::close(fd) == 0 || errno == EINTR ? 0 : Fail();
}

int64_t ReadAt(int fd, void* buffer, int64_t length, int64_t position) {
  auto* out = static_cast<char*>(buffer);
  int64_t done = 0;
  while (done < length) {
    ssize_t n = ::pread(fd, out + done, static_cast<size_t>(length - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n < 0) return done ? done : Fail();
    if (n == 0) break;
    done += n;
  }
  return done;
}

int64_t WriteAt(int fd, const void* buffer, int64_t length, int64_t position) {
  auto* in = static_cast<const char*>(buffer);
  int64_t done = 0;
  while (done < length) {
    ssize_t n = ::pwrite(fd, in + done, static_cast<size_t>(length - done), position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done ? done : (n < 0 ? Fail() : -EIO);
    done += n;
  }
  return done;
}

int64_t WriteRunsAt(int fd, const ByteRun* runs, size_t count, int64_t position) {
  std::vector<iovec> vectors;
  vectors.reserve(count);
  for (size_t i = 0; i < count; ++i) {
    if (runs[i].length > 0) vectors.push_back({const_cast<uint8_t*>(runs[i].data), static_cast<size_t>(runs[i].length)});
  }
  int64_t done = 0;
  size_t first = 0;
  while (first < vectors.size()) {
    const int batch = static_cast<int>(std::min<size_t>(vectors.size() - first, IOV_MAX));
    ssize_t n = ::pwritev(fd, vectors.data() + first, batch, position + done);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return done ? done : (n < 0 ? Fail() : -EIO);
    done += n;
    // A short write leaves the rest of the runs, the first of them perhaps in part.
    while (first < vectors.size() && static_cast<size_t>(n) >= vectors[first].iov_len) n -= static_cast<ssize_t>(vectors[first++].iov_len);
    if (first < vectors.size() && n > 0) {
      vectors[first].iov_base = static_cast<char*>(vectors[first].iov_base) + n;
      vectors[first].iov_len -= static_cast<size_t>(n);
    }
  }
  return done;
}

int64_t FileSizeOf(int fd) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail();
  return st.st_size;
}

int Truncate(int fd, int64_t size) {
  int rc;
  do {
    rc = ::ftruncate(fd, size);
  } while (rc != 0 && errno == EINTR);
  return rc == 0 ? 0 : Fail();
}

int Allocate(int fd, int64_t size) {
  int64_t current = FileSizeOf(fd);
  if (current < 0) return static_cast<int>(current);
  if (size <= current) return 0;
  int rc;
  do {
    rc = ::fallocate(fd, 0, 0, size);
  } while (rc != 0 && errno == EINTR);
  if (rc == 0) return 0;
  if (errno != EOPNOTSUPP && errno != ENOSYS) return Fail();
  // posix_fallocate writes zeros itself where the file system cannot reserve blocks.
  rc = ::posix_fallocate(fd, 0, size);
  return rc == 0 ? 0 : -rc;
}

int SyncFile(int fd) { return ::fsync(fd) == 0 ? 0 : Fail(); }

void AdviseSequential(int fd) { ::posix_fadvise(fd, 0, 0, POSIX_FADV_SEQUENTIAL); }

void StartWriteBack(int fd, int64_t position, int64_t length) {
  ::sync_file_range(fd, position, length, SYNC_FILE_RANGE_WRITE);
}

int FinishWriteBack(int fd, int64_t position, int64_t length) {
  const int rc = ::sync_file_range(fd, position, length,
                                   SYNC_FILE_RANGE_WAIT_BEFORE | SYNC_FILE_RANGE_WRITE | SYNC_FILE_RANGE_WAIT_AFTER) == 0
                     ? 0
                     : Fail();
  ::posix_fadvise(fd, position, length, POSIX_FADV_DONTNEED);
  return rc;
}

int LastWriteTime(int fd, uint64_t* time) {
  struct stat st;
  if (::fstat(fd, &st) != 0) return Fail();
  constexpr uint64_t kUnixEpochIn1601Units = 116444736000000000ULL;
  *time = kUnixEpochIn1601Units + static_cast<uint64_t>(st.st_mtim.tv_sec) * 10000000ULL +
          static_cast<uint64_t>(st.st_mtim.tv_nsec) / 100;
  return 0;
}

int64_t PathFileSize(const std::string& path) {
  struct stat st;
  if (::stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return st.st_size;
}

bool PathExists(const std::string& path) {
  struct stat st;
  return ::stat(path.c_str(), &st) == 0;
}

bool ReadWholeFile(const std::string& path, std::string* out) {
  out->clear();
  int fd = OpenFile(path, OpenMode::ReadOnly);
  if (fd < 0) return false;
  int64_t size = FileSizeOf(fd);
  bool ok = size >= 0;
  if (ok) {
    out->resize(static_cast<size_t>(size));
    ok = ReadAt(fd, out->data(), size, 0) == size;
  }
  CloseFile(fd);
  if (!ok) out->clear();
  return ok;
}

int RenamePath(const std::string& from, const std::string& to) {
  return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : Fail();
}

int RemoveFile(const std::string& path) {
  return ::unlink(path.c_str()) == 0 ? 0 : Fail();
}

int MakeDirectories(const std::string& path) {
  std::string partial;
  partial.reserve(path.size());
  for (size_t i = 0; i <= path.size(); ++i) {
    if (i == path.size() || path[i] == '/') {
      if (!partial.empty() && ::mkdir(partial.c_str(), 0755) != 0 && errno != EEXIST) {
        return Fail();
      }
    }
    if (i < path.size()) partial += path[i];
  }
  struct stat st;
  if (::stat(path.c_str(), &st) != 0) return Fail();
  return S_ISDIR(st.st_mode) ? 0 : -ENOTDIR;
}

int SyncDirectory(const std::string& path) {
  int fd = ::open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return Fail();
  int rc = ::fsync(fd) == 0 ? 0 : Fail();
  ::close(fd);
  return rc;
}

std::string TempNameFor(const std::string& path) { return path + ".tmp"; }

int CommitTempFile(int fd, const std::string& path) {
  const std::string temp = TempNameFor(path);
  int rc = SyncFile(fd);
  const int closed = CloseFile(fd);
  if (rc == 0) rc = closed;
  if (rc == 0) rc = RenamePath(temp, path);
  if (rc != 0) {
    RemoveFile(temp);
    return rc;
  }
  SyncDirectory(DirectoryOf(path));
  return 0;
}

int ReplaceFileDurably(const std::string& path, const void* data, size_t length) {
  int fd = OpenFile(TempNameFor(path), OpenMode::Create);
  if (fd < 0) return fd;
  int64_t written = WriteAt(fd, data, static_cast<int64_t>(length), 0);
  if (written != static_cast<int64_t>(length)) {
    CloseFile(fd);
    RemoveFile(TempNameFor(path));
    return written < 0 ? static_cast<int>(written) : -EIO;
  }
  return CommitTempFile(fd, path);
}

std::string AbsolutePath(const std::string& path) {
  if (path.empty() || path[0] == '/') return path;
  char folder[PATH_MAX];
  if (!getcwd(folder, sizeof folder)) return path;
  const std::string base(folder);
  return base + (base.back() == '/' ? "" : "/") + path;
}

std::string PrivateTempFolder() {
  static std::once_flag once;
  static std::string folder;
  std::call_once(once, [] {
    const char* base = std::getenv("TMPDIR");
    const std::string pattern = std::string(base && base[0] == '/' ? base : "/tmp") + "/bw-XXXXXX";
    std::vector<char> name(pattern.begin(), pattern.end());
    name.push_back('\0');
    if (::mkdtemp(name.data())) folder = name.data();
  });
  return folder;
}

int WriteNewFile(const std::string& path, const void* data, size_t length) {
  const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd < 0) return Fail();
  const int64_t written = WriteAt(fd, data, static_cast<int64_t>(length), 0);
  int rc = written == static_cast<int64_t>(length) ? SyncFile(fd) : (written < 0 ? static_cast<int>(written) : -EIO);
  CloseFile(fd);
  return rc;
}

std::string DirectoryOf(const std::string& path) {
  size_t slash = path.rfind('/');
  return slash == std::string::npos ? std::string() : path.substr(0, slash + 1);
}

}  // namespace platform
