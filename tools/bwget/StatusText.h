#pragma once
// What the engine's task status codes and entry-point results mean to a user.

namespace bwget {

// True for the statuses with which a task has given up.
bool IsFailureStatus(int status);
// True for the statuses that tell of a trouble the task goes on past: worth a warning.
bool IsWarningStatus(int status);
// True for the failures that the same command gets past once the disk is mended: the task kept
// its state.
bool IsResumableFailure(int status);
// A short meaning of a task status code, or null for one without a message.
const char* StatusMeaning(int status);
// A short meaning of an entry point's result code.
const char* ResultMeaning(int result);

}  // namespace bwget
