#include "tools/bwget/StatusText.h"

#include "engine/api/EngineApi.h"

namespace bwget {

bool IsFailureStatus(int status) {
  switch (status) {
    case bw::kTaskStatusMetadataTimeout:
    case bw::kTaskStatusDiskFull:
    case bw::kTaskStatusTorrentUnreadable:
    case bw::kTaskStatusNoSources:
    case bw::kTaskStatusWriteFailed:
      return true;
    default:
      return false;
  }
}

bool IsWarningStatus(int status) {
  return status == bw::kTaskStatusHostUnresolved || status == bw::kTaskStatusCertificateRefused;
}

bool IsResumableFailure(int status) {
  return status == bw::kTaskStatusDiskFull || status == bw::kTaskStatusWriteFailed;
}

const char* StatusMeaning(int status) {
  switch (status) {
    case bw::kTaskStatusMetadataTimeout: return "no source told the size of the content in time";
    case bw::kTaskStatusDiskFull: return "the disk is full";
    case bw::kTaskStatusTorrentUnreadable: return "the torrent file cannot be read or is not a torrent";
    case bw::kTaskStatusNoSources: return "no source delivered data and none is left to try";
    case bw::kTaskStatusWriteFailed: return "writing to the disk failed";
    case bw::kTaskStatusHostUnresolved: return "the host name of a source did not resolve";
    case bw::kTaskStatusCertificateRefused:
      return "an https source's certificate was refused (untrusted, or issued for another name): "
             "the source is dropped";
    default: return nullptr;
  }
}

const char* ResultMeaning(int result) {
  switch (result) {
    case bw::kEngineInvalidArgument: return "invalid argument";
    case bw::kEngineSocketsUnavailable: return "sockets are unavailable";
    case bw::kEngineDuplicateTask: return "the same download is already running";
    case bw::kEngineUnknownTask: return "unknown task";
    case bw::kEngineOperationFailed: return "the task could not be started";
    case bw::kEngineOutOfMemory: return "out of memory";
    default: return "failed";
  }
}

}  // namespace bwget
