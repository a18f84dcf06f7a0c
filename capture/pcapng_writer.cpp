#include "capture/pcapng_writer.h"

#include <cerrno>

#ifdef _WIN32
#include <fcntl.h>
#include <io.h>
#endif

namespace {

enum : unsigned {
    BLOCK_SECTION_HEADER = 0x0A0D0D0A,
    BLOCK_INTERFACE = 1,
    BLOCK_ENHANCED_PACKET = 6,
    BYTE_ORDER_MAGIC = 0x1A2B3C4D,
    OPT_END = 0,
    OPT_COMMENT = 1,
    SHB_USERAPPL = 4,
    IF_NAME = 2,
    EPB_FLAGS = 2,
    EPB_INBOUND = 1,
    EPB_OUTBOUND = 2,
    OPTION_MOST = 0xFFFF,
};

// pcapng blocks are written in little-endian order whatever the machine (the
// section header says so); the exported-PDU tags and our trailer are big-endian.
void Le16(std::vector<unsigned char>& out, unsigned value) {
    out.push_back(static_cast<unsigned char>(value));
    out.push_back(static_cast<unsigned char>(value >> 8));
}
void Le32(std::vector<unsigned char>& out, unsigned long value) {
    for (int shift = 0; shift < 32; shift += 8) out.push_back(static_cast<unsigned char>(value >> shift));
}
void Be16(std::vector<unsigned char>& out, unsigned value) {
    out.push_back(static_cast<unsigned char>(value >> 8));
    out.push_back(static_cast<unsigned char>(value));
}
void Be32(std::vector<unsigned char>& out, unsigned long value) {
    for (int shift = 24; shift >= 0; shift -= 8) out.push_back(static_cast<unsigned char>(value >> shift));
}
void PadTo4(std::vector<unsigned char>& out, size_t from) {
    while ((out.size() - from) % 4 != 0) out.push_back(0);
}

void Option(std::vector<unsigned char>& out, unsigned code, const unsigned char* value, size_t length) {
    size_t start = out.size();
    Le16(out, code);
    Le16(out, static_cast<unsigned>(length));
    out.insert(out.end(), value, value + length);
    PadTo4(out, start);
}
void TextOption(std::vector<unsigned char>& out, unsigned code, const std::string& text) {
    Option(out, code, reinterpret_cast<const unsigned char*>(text.data()), text.size());
}

// Starts a block at the end of `out`; EndBlock fills in its length at both ends.
size_t BeginBlock(std::vector<unsigned char>& out, unsigned long type) {
    size_t start = out.size();
    Le32(out, type);
    Le32(out, 0);
    return start;
}
void EndBlock(std::vector<unsigned char>& out, size_t start) {
    Le16(out, OPT_END);
    Le16(out, 0);
    unsigned long length = static_cast<unsigned long>(out.size() - start + 4);
    Le32(out, length);
    for (int i = 0; i < 4; ++i) out[start + 4 + i] = static_cast<unsigned char>(length >> (8 * i));
}

}  // namespace

void AppendSectionHeader(const std::string& application, std::vector<unsigned char>& out) {
    size_t start = BeginBlock(out, BLOCK_SECTION_HEADER);
    Le32(out, BYTE_ORDER_MAGIC);
    Le16(out, 1);  // version 1.0
    Le16(out, 0);
    Le32(out, 0xFFFFFFFFul);  // section length: not known, written as we go
    Le32(out, 0xFFFFFFFFul);
    if (!application.empty()) TextOption(out, SHB_USERAPPL, application.substr(0, OPTION_MOST));
    EndBlock(out, start);
}

void AppendInterface(const std::string& name, std::vector<unsigned char>& out) {
    size_t start = BeginBlock(out, BLOCK_INTERFACE);
    Le16(out, PCAPNG_LINKTYPE_UPPER_PDU);
    Le16(out, 0);
    Le32(out, 0);  // no snapshot length: pieces are never cut
    // No if_tsresol: the default, microseconds, is the listener's resolution.
    if (!name.empty()) TextOption(out, IF_NAME, name.substr(0, OPTION_MOST));
    EndBlock(out, start);
}

int AppendPacket(const CapturePiece& piece, std::vector<unsigned char>& out) {
    if (piece.dir != TAP_HOST && piece.dir != TAP_CTRL && piece.dir != TAP_UNKNOWN) return CAPTURE_PIECE_REFUSED;
    if (piece.kind < SPLIT_ACK || piece.kind > SPLIT_STRAY) return CAPTURE_PIECE_REFUSED;
    if (piece.line < 0 || piece.firstUs < 0 || piece.lastUs < piece.firstUs) return CAPTURE_PIECE_REFUSED;
    if (piece.comment.size() > OPTION_MOST) return CAPTURE_PIECE_REFUSED;
    // Well under what a reader takes, with room for the headers, options and padding.
    if (piece.bytes.size() + piece.comment.size() > PCAPNG_BLOCK_MOST - 256) return CAPTURE_PIECE_REFUSED;

    size_t start = BeginBlock(out, BLOCK_ENHANCED_PACKET);
    Le32(out, static_cast<unsigned long>(piece.line));
    unsigned long long stamp = static_cast<unsigned long long>(piece.firstUs);
    Le32(out, static_cast<unsigned long>(stamp >> 32));
    Le32(out, static_cast<unsigned long>(stamp & 0xFFFFFFFFull));
    const size_t nameRoom = 8;  // "zantrox" and its zero
    unsigned long captured = static_cast<unsigned long>(4 + nameRoom + 4 + piece.bytes.size() + PCAPNG_TRAILER_BYTES);
    Le32(out, captured);
    Le32(out, captured);

    size_t data = out.size();
    Be16(out, PCAPNG_TAG_DISSECTOR_NAME);
    Be16(out, nameRoom);
    for (size_t i = 0; i < nameRoom; ++i) out.push_back(static_cast<unsigned char>(PcapngDissectorName[i]));
    Be16(out, PCAPNG_TAG_END);
    Be16(out, 0);
    out.insert(out.end(), piece.bytes.begin(), piece.bytes.end());
    long long span = piece.lastUs - piece.firstUs;
    Be32(out, span > 0xFFFFFFFFll ? 0xFFFFFFFFul : static_cast<unsigned long>(span));  // past 71 minutes: held there
    out.push_back(static_cast<unsigned char>(piece.kind));
    out.push_back(PCAPNG_TRAILER_VERSION);
    Be16(out, PCAPNG_TRAILER_BYTES);
    PadTo4(out, data);

    if (!piece.comment.empty()) TextOption(out, OPT_COMMENT, piece.comment);
    // One line heard as it is (watch) has no side: the flags then say nothing of it.
    if (piece.dir != TAP_UNKNOWN) {
        unsigned char flags[4] = {static_cast<unsigned char>(piece.dir == TAP_HOST ? EPB_OUTBOUND : EPB_INBOUND), 0, 0, 0};
        Option(out, EPB_FLAGS, flags, sizeof flags);
    }
    EndBlock(out, start);
    return CAPTURE_OK;
}

PcapngWriter::~PcapngWriter() { file_.Abandon(); }

int PcapngWriter::Fail(int result, const std::string& error) {
    if (failed_ == CAPTURE_OK) {
        failed_ = result;
        error_ = error;
    }
    return failed_;
}

int PcapngWriter::Emit() {
    if (failed_ != CAPTURE_OK) return failed_;
    std::string reason;
    bool written = fd_ >= 0 ? WriteAllToDescriptor(fd_, block_.data(), block_.size())
                            : file_.Write(block_.data(), block_.size(), reason);
    if (!written) {
        if (fd_ >= 0) reason = FileErrorReason(errno);
        return Fail(CAPTURE_WRITE_FAILED, "writing the capture failed: " + reason);
    }
    whole_ += block_.size();
    return CAPTURE_OK;
}

int PcapngWriter::Start(const std::vector<std::string>& lines, const std::string& application) {
    started_ = true;
    lines_ = static_cast<int>(lines.size());
    block_.clear();
    AppendSectionHeader(application, block_);
    int result = Emit();
    for (size_t i = 0; i < lines.size() && result == CAPTURE_OK; ++i) {
        block_.clear();
        AppendInterface(lines[i], block_);
        result = Emit();
    }
    return result;
}

int PcapngWriter::Create(const std::string& path, const std::vector<std::string>& lines,
                         const std::string& application) {
    if (started_) return CAPTURE_NOT_STARTED;  // one capture a writer; the running one goes on
    std::string reason;
    if (!file_.Create(path, reason)) return Fail(CAPTURE_CREATE_FAILED, "cannot create a file beside it (" + reason + ")");
    return Start(lines, application);
}

int PcapngWriter::Attach(int fd, const std::vector<std::string>& lines, const std::string& application) {
    if (started_) return CAPTURE_NOT_STARTED;  // one capture a writer; the running one goes on
    if (fd < 0) return Fail(CAPTURE_CREATE_FAILED, "no stream to write to");
#ifdef _WIN32
    // Stdout starts in text mode, which would write every 0x0A byte as CR LF (the
    // section header's magic is made to show exactly that).
    if (_setmode(fd, _O_BINARY) == -1) return Fail(CAPTURE_CREATE_FAILED, "the stream cannot be made binary");
#endif
    fd_ = fd;
    return Start(lines, application);
}

int PcapngWriter::Write(const CapturePiece& piece) {
    if (failed_ != CAPTURE_OK) return failed_;
    if (!started_) return CAPTURE_NOT_STARTED;
    if (piece.line >= lines_) return CAPTURE_PIECE_REFUSED;
    block_.clear();
    int made = AppendPacket(piece, block_);
    if (made != CAPTURE_OK) return made;
    return Emit();
}

int PcapngWriter::Finish() {
    if (!started_) return failed_ != CAPTURE_OK ? failed_ : CAPTURE_NOT_STARTED;
    started_ = false;
    if (fd_ >= 0) {
        fd_ = -1;
        return failed_;
    }
    std::string reason;
    if (failed_ != CAPTURE_OK) {
        // Without even the section header and the interfaces, there is nothing to keep.
        bool kept = whole_ > 0 && file_.Truncate(whole_, reason) && file_.Commit(reason);
        if (!kept) file_.Abandon();
        error_ += kept ? "; the capture up to then is in place" : "; nothing was kept, any earlier capture there is as it was";
        return failed_;
    }
    if (!file_.Commit(reason)) return Fail(CAPTURE_FINISH_FAILED, reason + "; any earlier capture there is as it was");
    return CAPTURE_OK;
}
