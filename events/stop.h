// Ending a subcommand early: Ctrl+C, or SIGTERM from a service manager or Wireshark.
#pragma once

// Ctrl+C (and SIGTERM) end the transaction in flight (verdict "stopped", within a
// few milliseconds) and ask the running command to stop; it still writes its
// summary, capture or report. A second Ctrl+C ends the program at once.
void InstallStopHandler();
bool StopRequested();
// Asks the running command to stop, as Ctrl+C does (an output that broke).
void RequestStop();
// Sleeps `ms`, returning early when a stop was asked for.
void PauseUnlessStopped(int ms);
