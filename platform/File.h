#pragma once
#include <cstddef>
#include <cstdint>
#include <string>

namespace platform {

// File services for the engine. Calls that can fail return a negative errno value (or -1 where
// noted) so callers can tell a full disk from a broken one.
enum class OpenMode {
  ReadOnly,   // existing file only
  ReadWrite,  // opens or creates
  Create,     // creates, truncating an existing file
};

// File descriptor, or a negative errno.
int OpenFile(const std::string& path, OpenMode mode);
// 0, or a negative errno (a file system may report a failed write-back only here).
int CloseFile(int fd);

// Positioned transfers; they loop over partial transfers and EINTR. Bytes moved (short only at
// end of file for reads), or a negative errno when nothing could be moved.
int64_t ReadAt(int fd, void* buffer, int64_t length, int64_t position);
int64_t WriteAt(int fd, const void* buffer, int64_t length, int64_t position);
// One positioned write of several memory runs that follow one another in the file.
struct ByteRun {
  const uint8_t* data;
  int64_t length;
};
int64_t WriteRunsAt(int fd, const ByteRun* runs, size_t count, int64_t position);

int64_t FileSizeOf(int fd);  // negative errno on failure
int Truncate(int fd, int64_t size);
// Reserves real blocks up to size (never a file of holes); grows the file to size.
int Allocate(int fd, int64_t size);
int SyncFile(int fd);
// Hints that the file will be read from start to end.
void AdviseSequential(int fd);
// Write-behind for a file streamed to disk: start writing a range now without waiting, and
// later wait for it and let the page cache drop it. Waiting reports a failed write-back (0 or a
// negative errno) and, as with SyncFile, the system reports it only once.
void StartWriteBack(int fd, int64_t position, int64_t length);
int FinishWriteBack(int fd, int64_t position, int64_t length);

// Last-write time as 100 ns units since 1601-01-01 (the unit the resume record stores).
int LastWriteTime(int fd, uint64_t* time);
// -1 when the path does not exist or is not a regular file.
int64_t PathFileSize(const std::string& path);
bool PathExists(const std::string& path);
// Reads a regular file whole; false on any failure.
bool ReadWholeFile(const std::string& path, std::string* out);

int RenamePath(const std::string& from, const std::string& to);
int RemoveFile(const std::string& path);
// Creates the directory and every missing parent; 0 also when it already exists.
int MakeDirectories(const std::string& path);
// Flushes a directory's entries (after a rename into it).
int SyncDirectory(const std::string& path);

// Replacing a file so that a crash leaves either the old or the new content whole: write the
// new content to TempNameFor(path), then CommitTempFile syncs and closes it, renames it over
// path and syncs the folder. On failure the temp file is removed. 0 or a negative errno.
std::string TempNameFor(const std::string& path);
int CommitTempFile(int fd, const std::string& path);
int ReplaceFileDurably(const std::string& path, const void* data, size_t length);

// The path from the root: a relative one is taken from the current folder; "" stays "".
std::string AbsolutePath(const std::string& path);
// A folder only this user can enter, made once per process under $TMPDIR (or /tmp): fixed names
// in the shared temporary folder could be taken over by another user. "" when it cannot be made.
std::string PrivateTempFolder();
// Creates path, which must not exist yet (nor be a link), and writes data whole, flushed to disk.
// 0 or a negative errno.
int WriteNewFile(const std::string& path, const void* data, size_t length);

// Directory part of a path up to and including its last '/', or "" when it has none.
std::string DirectoryOf(const std::string& path);

}  // namespace platform
