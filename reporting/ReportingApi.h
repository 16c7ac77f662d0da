#pragma once
// Statistics reporting entry points: fire and forget. Each report becomes a record that the
// upload thread hands once a second to the submission client, which posts it to the statistics
// server named in the configuration file. Nothing comes back to the caller.
#include <cstdint>

namespace bw {

// Starts the upload thread "CollectDataUpload". Reports are only sent when the configuration path
// and all four identification texts are given. A second call while one runs does nothing.
void StartDataUpload(const char* configPath, const char* gameId, const char* appVersion, const char* gameVersion,
                     const char* channel);
// Totals are since the download began; the record also carries how much each grew since the
// previous report. Does nothing before StartDataUpload or after ShutdownReporting.
void ReportDownloadData(const char* code, const char* serverIp, const char* httpResult, uint32_t totalSeconds,
                        uint64_t totalBytes, uint64_t averageRate, const char* progress, uint64_t httpBytes,
                        uint64_t httpRate, uint64_t p2pBytes, uint64_t p2pRate, uint32_t corruptId,
                        const char* fileName, const char* url, const char* errorMessage, int flag);
// flag selects the hardware inventory sent with the event: bit 0 processor, 1 memory, 2 video card.
void ReportEvent(const char* code, const char* message, int flag);
void ReportFileEvent(const char* code, const char* fileName, const char* message);
// Ends the upload, then deletes the engine log. What is still queued gets one last submission of
// at most two seconds, unless a submission was under way (a slow server): it is then dropped.
// Returns within a few seconds whatever the statistics server does.
void ShutdownReporting();

}  // namespace bw
