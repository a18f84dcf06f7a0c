// "Loop on Status": while `looping` is 1, a worker sends the extended status
// request, then pauses 250 ms, and again.
#pragma once

#include <atomic>

enum { POLL_PAUSE_MS = 250 };

extern std::atomic<int> pollRun;
extern std::atomic<int> pollDone;

// Thread body. A poll starts only while no other transaction holds the link and
// no reply is awaited; it holds the transaction lock for its whole exchange.
void PollThread();

// One round of the loop without the pause: sends "FE" when the loop is on and the
// link is free. Returns 1 when a poll was sent, else 0.
int PollOnce();

int StartPollThread();  // sets pollRun before the thread exists; 0 or -1
int StopPollThread();   // 0, or -1 when the bounded wait ran out
