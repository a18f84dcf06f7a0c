#include "link/transaction.h"

#include <cstring>

#include "port/port.h"

char MessageBuffer[MESSAGE_BYTES];
unsigned char FrameBuffer[FRAME_BYTES];
int FrameLength;
unsigned char ReplyBuffer[REPLY_BYTES];
int ReplyLength;

std::atomic<unsigned char> replyExpected{0};
std::atomic<int> checksumError{0};
std::atomic<int> countdown{0};
std::atomic<int> openPortId{0};
std::atomic<int> stopTransactions{0};

TraceLines TxTrace;
TraceLines RxTrace;
TransactionRecord LastTransaction;

std::atomic<int> tickRun{0};
std::atomic<int> tickDone{0};

namespace {

std::atomic<void (*)()> repaintHook{nullptr};

// The outcome of the exchange under way, kept for LastTransaction.
int currentVerdict = VERDICT_NO_ACK;

// ReadByteTimed for the answer side: every byte that comes is also captured.
int ReadAnswerByte(unsigned char& byte) {
    int result = ReadByteTimed(byte);
    if (result == PORT_OK) {
        if (LastTransaction.receivedLength < CAPTURE_BYTES) {
            LastTransaction.received[LastTransaction.receivedLength] = byte;
            LastTransaction.receivedUs[LastTransaction.receivedLength] = OsMonotonicUs();
        }
        ++LastTransaction.receivedLength;
    }
    return result;
}

bool Elapsed(long long sinceUs, int limitMs) { return OsMonotonicUs() - sinceUs >= limitMs * 1000LL; }

// Reads and discards until one silent window. Returns 0 then, or the verdict
// when bytes kept coming past DRAIN_LIMIT_MS or a stop came. The bytes read are
// captured, and kept only when the drain did not end.
int Drain() {
    unsigned char discarded = 0;
    for (;;) {
        int result = ReadAnswerByte(discarded);
        if (result == READ_STOPPED) return VERDICT_STOPPED;
        if (result != PORT_OK) break;
        if (Elapsed(LastTransaction.startUs, DRAIN_LIMIT_MS)) return VERDICT_LINE_NEVER_QUIET;
    }
    LastTransaction.receivedLength = 0;
    return 0;
}

// The bytes a line that never went quiet sent, as the RX trace is to show them.
void ShowCaptured() {
    int n = LastTransaction.receivedLength;
    if (n > CAPTURE_BYTES) n = CAPTURE_BYTES;
    if (n > REPLY_BYTES - 1) n = REPLY_BYTES - 1;
    std::memcpy(ReplyBuffer, LastTransaction.received, static_cast<size_t>(n));
    ReplyBuffer[n] = 0;
    ReplyLength = n;
}

}  // namespace

void SetRepaintHook(void (*hook)()) { repaintHook.store(hook); }

void RequestRepaint() {
    void (*hook)() = repaintHook.load();
    if (hook != nullptr) hook();
}

void CopyTraces(TraceLines& tx, TraceLines& rx, int& checksumErrorNow) {
    LockGuard display(LOCK_DISPLAY);
    tx = TxTrace;
    rx = RxTrace;
    checksumErrorNow = checksumError.load();
}

int ReadByteTimed(unsigned char& byte) {
    countdown.store(RECEIVE_WINDOW_TICKS);
    for (;;) {
        if (stopTransactions.load() != 0) return READ_STOPPED;
        unsigned char received = 0;
        PortReadArgs args = {&received};
        int result = PortRequest(openPortId.load(), PORT_READ_BYTE, &args);
        if (result != PORT_NO_DATA) {
            if (result == PORT_OK) byte = received;
            return result;
        }
        // Polled back to back: the window is the tick count, not a sleep.
        if (countdown.load() == 0) return PORT_NO_DATA;
    }
}

void SendFrame() {
    // MessageBuffer is 1000 bytes and FrameBuffer 1024, so a terminated text
    // always fits; the terminator is forced in case a caller overran the text.
    MessageBuffer[MESSAGE_BYTES - 1] = '\0';
    FrameLength = BuildFrame(MessageBuffer, FrameBuffer, FRAME_BYTES);
    {
        LockGuard display(LOCK_DISPLAY);
        FormatTrace(FrameBuffer, FrameLength, TxTrace);
    }
    PortWriteArgs args = {FrameBuffer, FrameLength};
    LastTransaction.writeUs = OsMonotonicUs();
    (void)PortRequest(openPortId.load(), PORT_WRITE, &args);
}

int AwaitReply() {
    unsigned char byte = 0;
    currentVerdict = VERDICT_NO_ACK;
    for (;;) {
        std::memset(ReplyBuffer, 0, sizeof ReplyBuffer);
        ReplyLength = 0;
        int result = ReadAnswerByte(byte);
        if (result == READ_STOPPED) currentVerdict = VERDICT_STOPPED;
        if (result != PORT_OK) return -1;
        if (byte == ACK) break;
        if (LastTransaction.receivedLength >= ACK_WAIT_LIMIT_BYTES ||
            Elapsed(LastTransaction.sentUs, ACK_WAIT_LIMIT_MS)) {
            currentVerdict = VERDICT_LINE_NEVER_QUIET;
            return -1;
        }
    }
    LastTransaction.ackUs = OsMonotonicUs();
    ReplyBuffer[0] = ACK;
    ReplyLength = 1;
    currentVerdict = VERDICT_OK;
    if (replyExpected.load() == 0) return 0;

    currentVerdict = VERDICT_INCOMPLETE;
    const int ackAt = LastTransaction.receivedLength;
    int p = 1;
    unsigned sum = 0;
    do {
        int result = ReadAnswerByte(byte);
        if (result == READ_STOPPED) currentVerdict = VERDICT_STOPPED;
        if (result != PORT_OK) return -1;
        if (byte != ETX && (LastTransaction.receivedLength - ackAt >= REPLY_LIMIT_BYTES ||
                            Elapsed(LastTransaction.ackUs, REPLY_LIMIT_MS))) {
            // What wrapped over the ACK is no reply to show: the RX trace keeps the ACK.
            ReplyBuffer[0] = ACK;
            ReplyBuffer[1] = 0;
            currentVerdict = VERDICT_REPLY_WITHOUT_END;
            return -1;
        }
        ReplyBuffer[p] = byte;
        ReplyBuffer[p + 1] = 0;
        sum += byte;
        ++p;
        if (p > REPLY_WRAP_POSITION) p = 0;
    } while (byte != ETX);

    unsigned char checksum = 0;
    int result = ReadAnswerByte(checksum);
    if (result == READ_STOPPED) currentVerdict = VERDICT_STOPPED;
    if (result != PORT_OK) return -1;
    ReplyBuffer[p] = checksum;
    ReplyBuffer[p + 1] = 0;
    ReplyLength = p + 1;
    if (ReplyChecksumValid(sum, checksum)) {
        checksumError.store(0);
        currentVerdict = VERDICT_OK;
        return 0;
    }
    checksumError.store(1);
    currentVerdict = VERDICT_CHECKSUM_ERROR;
    return -1;
}

void RunTransaction() {
    TransactionRecord& record = LastTransaction;
    record.startUs = OsMonotonicUs();
    record.replyWasExpected = replyExpected.load();
    record.receivedLength = 0;
    record.ackUs = -1;
    record.writeUs = -1;
    ReplyBuffer[0] = 0;
    ReplyLength = 0;
    const int drained = Drain();
    if (drained != 0) {
        // Nothing is sent into live traffic: a frame there could not be told apart
        // from it, and what came is the diagnosis.
        currentVerdict = drained;
        FrameLength = 0;
        {
            LockGuard display(LOCK_DISPLAY);
            ClearTrace(TxTrace);
        }
        record.sentUs = OsMonotonicUs();
        if (drained == VERDICT_LINE_NEVER_QUIET) ShowCaptured();
    } else {
        SendFrame();
        record.sentUs = OsMonotonicUs();
        RequestRepaint();
        (void)AwaitReply();
        if (currentVerdict == VERDICT_LINE_NEVER_QUIET) ShowCaptured();
    }
    {
        LockGuard display(LOCK_DISPLAY);
        ClearTrace(RxTrace);
        if (ReplyLength != 0) FormatTrace(ReplyBuffer, ReplyLength, RxTrace);
    }
    RequestRepaint();
    replyExpected.store(0);

    record.verdict = currentVerdict;
    std::memcpy(record.text, MessageBuffer, sizeof record.text);
    record.frameLength = FrameLength > 0 ? FrameLength : 0;
    std::memcpy(record.frame, FrameBuffer, static_cast<size_t>(record.frameLength));
    record.answerLength = ReplyLength;
    std::memcpy(record.answer, ReplyBuffer, static_cast<size_t>(ReplyLength));
    record.endUs = OsMonotonicUs();
}

// Ticks are kept by elapsed time: each sleep lasts until the next 10 ms mark, and
// a sleep that overran one or more marks (a coarse system timer, a busy machine)
// counts every mark it passed. Ticks so average 10 ms whatever the granularity,
// and a receive window stays 9 to 10 of them. After a long stall (more than a
// window) the marks start afresh instead of firing all at once.
void TickThread() {
    const long long tickUs = TICK_MS * 1000LL;
    long long next = OsMonotonicUs() + tickUs;
    while (tickRun.load() == 1) {
        long long wait = next - OsMonotonicUs();
        OsSleepMs(wait > 0 ? static_cast<int>((wait + 999) / 1000) : 0);
        const long long now = OsMonotonicUs();
        if (now - next > RECEIVE_WINDOW_TICKS * tickUs) next = now;
        while (now >= next) {
            next += tickUs;
            int left = countdown.load();
            // Only the tick thread lowers a non-zero count, but a transaction may set
            // it back to 10 meanwhile; the exchange keeps that restart.
            while (left != 0 && !countdown.compare_exchange_weak(left, left - 1)) {
            }
        }
    }
    tickDone.store(0);
}

int StartTickThread() {
    OsUseFineTimer();
    tickRun.store(1);
    if (OsStartThread(TickThread, WORKER_STACK_BYTES) != 0) {
        tickRun.store(0);
        return -1;
    }
    return 0;
}

int StopTickThread() { return StopWorker(tickRun, tickDone); }
