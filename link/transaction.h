// The transaction engine: one message out, the ACK and (when asked for) a framed
// reply back, with receive windows timed by the 10 ms tick thread.
//
// There is exactly one transaction context. Callers hold LOCK_TRANSACTION from
// writing MessageBuffer until RunTransaction returns (TransactionGuard), so a
// command and a status poll can never share it.
#pragma once

#include <atomic>

#include "link/frame.h"
#include "link/threading.h"

enum {
    MESSAGE_BYTES = 1000,
    FRAME_BYTES = 1024,
    REPLY_BYTES = 1000,
    REPLY_WRAP_POSITION = 900,  // a reply position beyond this wraps to 0
    RECEIVE_WINDOW_TICKS = 10,
    TICK_MS = 10,
};

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
};

enum { CAPTURE_BYTES = 1024 };

// One transaction as it happened. RunTransaction writes it at its end, under the
// transaction lock, and it stays until the next transaction ends. Times are
// OsMonotonicUs() values.
struct TransactionRecord {
    int verdict;                       // a TransactionVerdict
    int replyWasExpected;              // replyExpected as the exchange began
    char text[MESSAGE_BYTES];          // the message text sent
    int frameLength;
    unsigned char frame[FRAME_BYTES];  // the frame as written
    int receivedLength;                // bytes read after the frame went out, noise included;
    unsigned char received[CAPTURE_BYTES];  // the first CAPTURE_BYTES of them
    int answerLength;                  // ReplyLength: the ACK and a reply, as the RX trace shows
    unsigned char answer[REPLY_BYTES];
    long long startUs;                 // the exchange began (the drain starts)
    long long sentUs;                  // the frame's write returned
    long long ackUs;                   // the ACK byte was read; -1 when none came
    long long endUs;                   // the exchange ended
};
extern TransactionRecord LastTransaction;

// Copies both trace sets and the verdict at one instant, for painting.
void CopyTraces(TraceLines& tx, TraceLines& rx, int& checksumErrorNow);

// Returns PORT_OK with one byte, PORT_NO_DATA when a whole window (9 to 10 ticks)
// passed without one, or any other port result unchanged.
int ReadByteTimed(unsigned char& byte);

// Frames MessageBuffer, renders the TX trace and writes the frame (result ignored).
void SendFrame();

// 0 when the ACK (and, if expected, a valid reply) arrived; -1 on a time-out,
// a port error or a failed checksum.
int AwaitReply();

// Drain, send, await, render the RX trace; blocks until the exchange is over.
// Call with LOCK_TRANSACTION held.
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
