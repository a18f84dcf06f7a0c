// The transaction engine: one message out, the ACK and (when asked for) a framed
// reply back, with receive windows timed by the 10 ms tick thread.
//
// There is exactly one transaction context. Callers hold LOCK_TRANSACTION from
// writing MessageBuffer until RunTransaction returns (TransactionGuard), so a
// command and a status poll can never share it.
#pragma once

#include <atomic>

#include "link/frame.h"
#include "os/threading.h"

enum {
    MESSAGE_BYTES = 1000,
    FRAME_BYTES = 1024,
    REPLY_BYTES = 1000,
    REPLY_WRAP_POSITION = 900,  // a reply position beyond this wraps to 0
    RECEIVE_WINDOW_TICKS = 10,
    TICK_MS = 10,
};

// Every wait of a transaction ends, however the line behaves. A quiet line never
// comes near these: they only end exchanges that bytes keep alive.
enum {
    // The drain gives up when bytes kept coming this long with no silent window;
    // the frame is then not sent.
    DRAIN_LIMIT_MS = 2000,
    // The wait for the ACK gives up when bytes other than the ACK kept coming this
    // long after the frame, or this many of them came.
    ACK_WAIT_LIMIT_MS = 2000,
    ACK_WAIT_LIMIT_BYTES = 1000,
    // A reply with no ETX is abandoned this long after the ACK, or after this many
    // bytes. The longest reply frame seen (953 bytes) takes about 4 s at 2400 baud.
    REPLY_LIMIT_MS = 8000,
    REPLY_LIMIT_BYTES = 2000,
};

// ReadByteTimed's result when a stop was asked for; no port result has this value.
enum { READ_STOPPED = 100 };

extern char MessageBuffer[MESSAGE_BYTES];
extern unsigned char FrameBuffer[FRAME_BYTES];
extern int FrameLength;
extern unsigned char ReplyBuffer[REPLY_BYTES];
extern int ReplyLength;

// 1 when the transaction is to collect a framed reply after the ACK. Set by the
// caller before RunTransaction, cleared at the end of every transaction.
extern std::atomic<unsigned char> replyExpected;
// 1 when the last judged reply failed its checksum; kept when no reply is judged.
extern std::atomic<int> checksumError;
// The receive window in ticks; the tick thread counts it down to 0.
extern std::atomic<int> countdown;
// Port id of the open port (0 before the first open); every transaction uses it.
extern std::atomic<int> openPortId;
// 1 asks every transaction to end: one under way ends at its next poll of the
// port (about a millisecond), with VERDICT_STOPPED, and so does each one begun
// while it stays 1; nothing is sent after it was set. Lock-free, so a signal
// handler may set it. Only the one who set it clears it.
extern std::atomic<int> stopTransactions;
static_assert(ATOMIC_INT_LOCK_FREE == 2, "the stop flag is set from a signal handler");

// Trace lines of the last frame sent and the bytes last received. Written under
// LOCK_DISPLAY; readers copy them with CopyTraces.
extern TraceLines TxTrace;
extern TraceLines RxTrace;

// How a transaction ended, for front ends that report every exchange.
enum TransactionVerdict {
    VERDICT_OK = 0,              // the ACK, and where one was expected a reply that passed its checksum
    VERDICT_NO_ACK = 1,          // no ACK before a silent window (or a port error)
    VERDICT_CHECKSUM_ERROR = 2,  // a whole reply whose checksum failed
    VERDICT_INCOMPLETE = 3,      // the ACK, then a reply cut off by a silent window
    VERDICT_LINE_NEVER_QUIET = 4,   // bytes kept coming: no silent window before the frame
                                    // (then it was not sent), or no ACK among them after it
    VERDICT_REPLY_WITHOUT_END = 5,  // the ACK, then a reply that ran past its bounds with no ETX
    VERDICT_STOPPED = 6,            // stopTransactions ended it
};

enum { CAPTURE_BYTES = 1024 };

// One transaction as it happened. RunTransaction writes it at its end, under the
// transaction lock, and it stays until the next transaction ends. Times are
// OsMonotonicUs() values.
struct TransactionRecord {
    int verdict;                       // a TransactionVerdict
    int replyWasExpected;              // replyExpected as the exchange began
    char text[MESSAGE_BYTES];          // the message text sent
    int frameLength;                   // 0 when no frame was sent
    unsigned char frame[FRAME_BYTES];  // the frame as written
    int receivedLength;                // bytes read after the frame went out, noise included
                                       // (when none was sent: the bytes the drain read);
    unsigned char received[CAPTURE_BYTES];  // the first CAPTURE_BYTES of them
    long long receivedUs[CAPTURE_BYTES];    // when each was read
    int answerLength;                  // ReplyLength: the ACK and a reply, as the RX trace shows
    unsigned char answer[REPLY_BYTES];
    long long startUs;                 // the exchange began (the drain starts)
    long long writeUs;                 // the frame's write was asked for; -1 when none was sent
    long long sentUs;                  // the frame's write returned (when no frame was
                                       // sent: the drain gave up or was stopped)
    long long ackUs;                   // the ACK byte was read; -1 when none came
    long long endUs;                   // the exchange ended
};
extern TransactionRecord LastTransaction;

// Copies both trace sets and the verdict at one instant, for painting.
void CopyTraces(TraceLines& tx, TraceLines& rx, int& checksumErrorNow);

// Returns PORT_OK with one byte, PORT_NO_DATA when a whole window (9 to 10 ticks)
// passed without one, READ_STOPPED when stopTransactions is set, or any other port
// result unchanged.
int ReadByteTimed(unsigned char& byte);

// Frames MessageBuffer, renders the TX trace and writes the frame (result ignored).
void SendFrame();

// 0 when the ACK (and, if expected, a valid reply) arrived; -1 on a time-out,
// a port error, a failed checksum, a wait past its bounds or a stop.
int AwaitReply();

// Drain, send, await, render the RX trace; blocks until the exchange is over.
// When the drain gives up (or is stopped) nothing is sent: the TX trace is empty
// and the RX trace shows what the drain read. Call with LOCK_TRANSACTION held.
void RunTransaction();

// Holds LOCK_TRANSACTION: from writing MessageBuffer through the end of RunTransaction.
class TransactionGuard : public LockGuard {
public:
    TransactionGuard() : LockGuard(LOCK_TRANSACTION) {}
};

// The console's repaint notification; a no-op until the console installs one.
// The hook must be safe to call from any thread.
void SetRepaintHook(void (*hook)());
void RequestRepaint();

// Tick thread: run/done handshake and body. StartTickThread sets tickRun before
// the thread exists, so a stop that follows at once cannot be undone by the thread.
extern std::atomic<int> tickRun;
extern std::atomic<int> tickDone;
void TickThread();
int StartTickThread();  // 0, or -1 when the thread could not be started
int StopTickThread();   // 0, or -1 when the bounded wait ran out
