// Writing what a listener hears as a pcapng capture that Wireshark opens with the
// dissector in packaging/wireshark/zantrox.lua: one interface per line, one packet
// per piece (a frame, an ACK, a run of stray bytes, a cut frame), stamped with its
// first byte's time, with the direction from the host's side and an optional
// comment (the request's name, the verdict of an exchange).
//
// Blocks go out whole as they are made, one write each and no buffer of ours, so a
// file cut short by a crash is readable up to its last whole block. A file capture
// is written beside its target and renamed into place by Finish(); a stream
// (stdout piped into `wireshark -k -i -`) gets the same blocks.
//
// Every call returns a CaptureResult. The first failed write is returned by the
// call that made it and by every call after: the caller learns of a full disk at
// once, not at the end. Nothing more is written then, but what was whole is kept:
// Finish() cuts the file back to its last whole block and puts it in place, so
// hours of listening are not lost to a disk that filled in the last minute.
#pragma once

#include <string>
#include <vector>

#include "capture/capture_piece.h"
#include "os/replacing_file.h"

enum CaptureResult {
    CAPTURE_OK = 0,
    CAPTURE_CREATE_FAILED = 1,  // no file could be made beside the target
    CAPTURE_WRITE_FAILED = 2,   // a block did not go out whole (disk full, pipe closed)
    CAPTURE_FINISH_FAILED = 3,  // syncing, closing or renaming into place failed
    CAPTURE_PIECE_REFUSED = 4,  // a piece the file cannot carry; nothing was written for it
    CAPTURE_NOT_STARTED = 5,    // no Create or Attach, already finished, or started twice
};

// The blocks, appended to `out`: the writer's and the tests'.
void AppendSectionHeader(const std::string& application, std::vector<unsigned char>& out);
void AppendInterface(const std::string& name, std::vector<unsigned char>& out);
// CAPTURE_PIECE_REFUSED (and nothing appended) for a direction that is not
// TAP_HOST, TAP_CTRL or TAP_UNKNOWN, a kind outside SplitKind, a negative line, bytes or a
// comment past what a block may hold, or a last byte before the first.
int AppendPacket(const CapturePiece& piece, std::vector<unsigned char>& out);

class PcapngWriter {
public:
    PcapngWriter() = default;
    ~PcapngWriter();  // a file capture not finished is removed
    PcapngWriter(const PcapngWriter&) = delete;
    PcapngWriter& operator=(const PcapngWriter&) = delete;

    // Starts a capture that will replace `path`, with one interface for each of
    // `lines` (the ports as the user named them: the host line first for a tap).
    // `application` names the program and version in the section header.
    int Create(const std::string& path, const std::vector<std::string>& lines, const std::string& application);
    // The same capture into a descriptor the caller opened and keeps (a pipe); on
    // Windows it is put in binary mode.
    int Attach(int fd, const std::vector<std::string>& lines, const std::string& application);
    // One packet for the piece; `piece.line` indexes `lines`.
    int Write(const CapturePiece& piece);
    // A file capture is synced and renamed into place (after a failed write, the
    // blocks before it); a stream is left open. Returns the first failure if there
    // was one, so a capture cut short is never reported as whole.
    int Finish();

    // The first failure in words ("writing the capture failed: the disk is full").
    const std::string& Error() const { return error_; }
    int Result() const { return failed_; }

private:
    int Start(const std::vector<std::string>& lines, const std::string& application);
    int Emit();
    int Fail(int result, const std::string& error);

    ReplacingFile file_;
    int fd_ = -1;          // a stream's descriptor, -1 when writing a file
    bool started_ = false;
    int lines_ = 0;
    int failed_ = CAPTURE_OK;
    unsigned long long whole_ = 0;  // bytes of the blocks written whole
    std::string error_;
    std::vector<unsigned char> block_;  // one block at a time
};
