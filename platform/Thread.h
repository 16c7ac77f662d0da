#pragma once
#include <cstdint>

namespace platform {

// Kernel thread id of the caller; never 0, so 0 can mean "no thread".
uint32_t CurrentThreadId();

void SleepMs(uint32_t ms);

// Starts a detached thread that runs entry(arg). *threadId receives the new thread's id before
// this returns, so the creator can record it before the thread looks for it. false when no
// thread could be created.
bool StartDetachedThread(void (*entry)(void*), void* arg, uint32_t* threadId);

}  // namespace platform
