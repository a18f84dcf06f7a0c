// Start-up and shutdown of the console, in the order both front ends follow.
#pragma once

// After the main window is shown: starts the tick thread, then the poll thread,
// initialises the port table, opens the configured port and clears the message
// and reply buffers. Returns 0, or -1 when a worker thread could not be started
// (the console runs on regardless, as it does without a port).
int ConsoleStart();

// On the main window's destruction: stops the tick thread, then the poll thread,
// each with a bounded wait of about 2 s, and forgets the port record. The front
// end then ends its message loop.
void ConsoleShutdown();
