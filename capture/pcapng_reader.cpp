#include "capture/pcapng_reader.h"

#include <cmath>
#include <cstdio>
#include <cstring>
#include <filesystem>

#include "link/frame.h"

namespace {

enum : unsigned long {
    BLOCK_SECTION_HEADER = 0x0A0D0D0A,
    BLOCK_INTERFACE = 1,
    BLOCK_PACKET_OBSOLETE = 2,
    BLOCK_SIMPLE_PACKET = 3,
    BLOCK_ENHANCED_PACKET = 6,
    BYTE_ORDER_MAGIC = 0x1A2B3C4D,
    BYTE_ORDER_MAGIC_SWAPPED = 0x4D3C2B1A,
};

enum : unsigned {
    OPT_END = 0,
    OPT_COMMENT = 1,
    IF_NAME = 2,
    IF_TSRESOL = 9,
    IF_TSOFFSET = 14,
    EPB_FLAGS = 2,
};

// The smallest block of each kind, its type and both lengths included.
unsigned long SmallestBlock(unsigned long type) {
    switch (type) {
        case BLOCK_SECTION_HEADER: return 28;
        case BLOCK_INTERFACE: return 20;
        case BLOCK_ENHANCED_PACKET: return 32;
        default: return 12;
    }
}

std::string Number(unsigned long long value) {
    char text[24];
    std::snprintf(text, sizeof text, "%llu", value);
    return text;
}

// A name from the file, fit to be quoted in a message.
std::string Quoted(const unsigned char* bytes, size_t length) {
    std::string text = "\"";
    for (size_t i = 0; i < length && i < 32; ++i) {
        unsigned char b = bytes[i];
        if (b >= 0x20 && b <= 0x7E) {
            text += static_cast<char>(b);
        } else {
            char hex[8];
            std::snprintf(hex, sizeof hex, "\\x%02X", b);
            text += hex;
        }
    }
    return text + (length > 32 ? "...\"" : "\"");
}

// Walks the options from `at` to `end` within a block's body. Next() gives each
// option's code, value and length until the end option or the end of the block;
// a length that runs past the block ends the walk with `broken`.
struct Options {
    const unsigned char* at;
    const unsigned char* end;
    bool bigEndian;
    bool broken = false;
    unsigned code = 0;
    const unsigned char* value = nullptr;
    size_t length = 0;

    unsigned U16(const unsigned char* p) const { return bigEndian ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8); }
    bool Next() {
        if (end - at < 4) return false;  // no options, or padding at the end
        code = U16(at);
        length = U16(at + 2);
        if (code == OPT_END) return false;
        size_t padded = (length + 3) & ~static_cast<size_t>(3);
        if (padded > static_cast<size_t>(end - at - 4)) {
            broken = true;
            return false;
        }
        value = at + 4;
        at += 4 + padded;
        return true;
    }
};

}  // namespace

bool PcapngReader::Open(const std::string& path) {
    file_.open(std::filesystem::path(path), std::ios::binary);
    if (!file_.is_open()) {
        error_ = "cannot be opened";
        return false;
    }
    opened_ = true;
    return true;
}

void PcapngReader::OpenMemory(const unsigned char* data, size_t size) {
    memory_ = data;
    memorySize_ = size;
    memoryAt_ = 0;
    opened_ = true;
}

size_t PcapngReader::ReadSome(unsigned char* into, size_t size) {
    if (memory_ != nullptr || !file_.is_open()) {
        size_t left = memorySize_ - memoryAt_;
        size_t n = size < left ? size : left;
        if (n > 0) std::memcpy(into, memory_ + memoryAt_, n);
        memoryAt_ += n;
        return n;
    }
    file_.read(reinterpret_cast<char*>(into), static_cast<std::streamsize>(size));
    return static_cast<size_t>(file_.gcount());
}

int PcapngReader::Refuse(const std::string& reason) {
    error_ = "block " + Number(static_cast<unsigned long long>(block_)) + ": " + reason;
    opened_ = false;
    return CAPTURE_READ_REFUSED;
}

unsigned long PcapngReader::U32(const unsigned char* p) const {
    if (bigEndian_) return (static_cast<unsigned long>(p[0]) << 24) | (p[1] << 16) | (p[2] << 8) | p[3];
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<unsigned long>(p[3]) << 24);
}

unsigned PcapngReader::U16(const unsigned char* p) const {
    return bigEndian_ ? (p[0] << 8) | p[1] : p[0] | (p[1] << 8);
}

int PcapngReader::Next(CapturePiece& out) {
    if (!opened_) {
        if (error_.empty()) error_ = "no file was opened";
        return CAPTURE_READ_REFUSED;
    }
    for (;;) {
        ++block_;
        unsigned char head[12];
        size_t got = ReadSome(head, 8);
        if (got == 0 && block_ > 1) {
            --block_;
            return CAPTURE_READ_END;
        }
        if (got == 0) return Refuse("the file is empty");
        if (got < 8) return Refuse("cut short: the file ends " + Number(got) + " bytes into it");
        unsigned long type = head[0] | (head[1] << 8) | (head[2] << 16) | (static_cast<unsigned long>(head[3]) << 24);
        size_t headBytes = 8;
        if (type == BLOCK_SECTION_HEADER) {
            // The byte order is the section's own, told by its magic.
            got = ReadSome(head + 8, 4);
            if (got < 4) return Refuse("cut short: the file ends " + Number(8 + got) + " bytes into it");
            headBytes = 12;
            bigEndian_ = false;
            unsigned long magic = U32(head + 8);
            if (magic == BYTE_ORDER_MAGIC_SWAPPED) {
                bigEndian_ = true;
            } else if (magic != BYTE_ORDER_MAGIC) {
                return Refuse(block_ == 1 ? "not a pcapng capture (its byte-order magic is wrong)"
                                          : "a section header with a wrong byte-order magic");
            }
        } else if (block_ == 1) {
            return Refuse("not a pcapng capture (it does not begin with a section header)");
        } else if (!inSection_) {
            return Refuse("a block outside any section");
        }
        // A block type of another byte order reads differently; only the section
        // header's is the same both ways.
        if (type != BLOCK_SECTION_HEADER) type = U32(head);
        unsigned long length = U32(head + 4);
        if (length < SmallestBlock(type)) {
            return Refuse("its length " + Number(length) + " is below the smallest such block (" +
                          Number(SmallestBlock(type)) + ")");
        }
        if (length % 4 != 0) return Refuse("its length " + Number(length) + " is not a multiple of 4");
        if (length > PCAPNG_BLOCK_MOST) {
            return Refuse("its length " + Number(length) + " is past the " + Number(PCAPNG_BLOCK_MOST) +
                          " bytes a block may have here");
        }
        body_.resize(length - 8);
        size_t already = headBytes - 8;
        std::memcpy(body_.data(), head + 8, already);
        got = ReadSome(body_.data() + already, body_.size() - already);
        if (got < body_.size() - already) {
            return Refuse("cut short: the file ends " + Number(headBytes + got) + " bytes into its " +
                          Number(length));
        }
        if (U32(body_.data() + body_.size() - 4) != length) {
            return Refuse("its length at the end (" + Number(U32(body_.data() + body_.size() - 4)) +
                          ") differs from the one at the start (" + Number(length) + ")");
        }
        blockType_ = type;
        int result = CAPTURE_READ_END;
        switch (type) {
            case BLOCK_SECTION_HEADER: result = SectionHeader(); break;
            case BLOCK_INTERFACE: result = InterfaceDescription(); break;
            case BLOCK_ENHANCED_PACKET: result = EnhancedPacket(out); break;
            case BLOCK_PACKET_OBSOLETE:
            case BLOCK_SIMPLE_PACKET:
                return Refuse("a packet block without an interface or a time (type " + Number(type) +
                              "); this file was not written by a listener");
            default: break;  // statistics, name resolution and the like: not ours to read
        }
        if (result != CAPTURE_READ_END) return result;
    }
}

int PcapngReader::SectionHeader() {
    unsigned major = U16(body_.data() + 4);
    if (major != 1) return Refuse("pcapng version " + Number(major) + ", not 1");
    // A new section describes its interfaces afresh; its lines follow the earlier ones.
    interfaces_.clear();
    inSection_ = true;
    Options options{body_.data() + 16, body_.data() + body_.size() - 4, bigEndian_};
    while (options.Next()) {
    }
    if (options.broken) return Refuse("an option runs past the end of the block");
    return CAPTURE_READ_END;
}

int PcapngReader::InterfaceDescription() {
    unsigned linkType = U16(body_.data());
    if (linkType != PCAPNG_LINKTYPE_UPPER_PDU) {
        return Refuse("an interface of link type " + Number(linkType) + ", not exported PDUs (" +
                      Number(PCAPNG_LINKTYPE_UPPER_PDU) + "); this is not a capture of ours");
    }
    if (lines_.size() >= INTERFACES_MOST) return Refuse("more than " + Number(INTERFACES_MOST) + " interfaces");
    Interface described{static_cast<int>(lines_.size()), 1, 6, 0};
    std::string name;
    Options options{body_.data() + 8, body_.data() + body_.size() - 4, bigEndian_};
    while (options.Next()) {
        if (options.code == IF_NAME) {
            name.assign(reinterpret_cast<const char*>(options.value), options.length);
        } else if (options.code == IF_TSRESOL && options.length == 1) {
            described.decimal = (options.value[0] & 0x80) == 0;
            described.exponent = options.value[0] & 0x7F;
            // Past nanoseconds' nanoseconds, or past 2^-63: no clock stamps like that.
            if ((described.decimal && described.exponent > 18) || (!described.decimal && described.exponent > 63)) {
                return Refuse("a timestamp resolution of " + std::string(described.decimal ? "10" : "2") + "^-" +
                              Number(static_cast<unsigned>(described.exponent)) + " s");
            }
        } else if (options.code == IF_TSOFFSET && options.length == 8) {
            unsigned long long high = U32(options.value + (bigEndian_ ? 0 : 4));
            unsigned long long low = U32(options.value + (bigEndian_ ? 4 : 0));
            long long offset = static_cast<long long>((high << 32) | low);
            if (offset > 1000000000000ll || offset < -1000000000000ll) return Refuse("a time offset past any calendar");
            described.offsetS = offset;
        }
    }
    if (options.broken) return Refuse("an option runs past the end of the block");
    interfaces_.push_back(described);
    lines_.push_back(name);
    return CAPTURE_READ_END;
}

int PcapngReader::EnhancedPacket(CapturePiece& out) {
    const unsigned char* body = body_.data();
    const size_t room = body_.size() - 4 - 20;  // after the fixed fields, before the closing length
    unsigned long id = U32(body);
    if (id >= interfaces_.size()) return Refuse("a packet on interface " + Number(id) + ", which was never described");
    const Interface& where = interfaces_[id];
    unsigned long captured = U32(body + 12);
    unsigned long original = U32(body + 16);
    if (captured > room) return Refuse("its packet of " + Number(captured) + " bytes runs past the block");
    if (captured < original) {
        return Refuse("its packet was cut to " + Number(captured) + " of " + Number(original) + " bytes");
    }

    if (((captured + 3) & ~3ul) > room) return Refuse("its packet's padding runs past the block");

    // The time of the first byte, in microseconds: exact for a decimal resolution
    // (ours, and what Wireshark keeps), to the nearest for a binary one.
    unsigned long long stamp = (static_cast<unsigned long long>(U32(body + 4)) << 32) | U32(body + 8);
    const unsigned long long most = 1ull << 62;  // far past any calendar, with room to add the offset
    unsigned long long us = 0;
    if (!where.decimal) {
        long double exact = std::floor(std::ldexp(static_cast<long double>(stamp), -where.exponent) * 1000000.0L + 0.5L);
        if (!(exact < static_cast<long double>(most))) return Refuse("its time is past any calendar");
        us = static_cast<unsigned long long>(exact);
    } else if (where.exponent >= 6) {
        us = stamp;
        for (int i = 6; i < where.exponent; ++i) us /= 10;
    } else {
        us = stamp;
        for (int i = where.exponent; i < 6; ++i) {
            if (us > most / 10) return Refuse("its time is past any calendar");
            us *= 10;
        }
    }
    if (us > most) return Refuse("its time is past any calendar");
    long long firstUs = static_cast<long long>(us) + where.offsetS * 1000000;
    if (firstUs < 0) return Refuse("its time is before 1970");

    // The exported-PDU tags: ours names the dissector; others are passed over.
    const unsigned char* data = body + 20;
    size_t at = 0;
    bool named = false;
    for (;;) {
        if (captured - at < 4) return Refuse("its exported-PDU tags run past the packet");
        unsigned tag = (data[at] << 8) | data[at + 1];
        size_t length = (data[at + 2] << 8) | data[at + 3];
        at += 4;
        if (tag == PCAPNG_TAG_END) break;
        if (length > captured - at) return Refuse("an exported-PDU tag runs past the packet");
        if (tag == PCAPNG_TAG_DISSECTOR_NAME) {
            // Up to its first zero, as Wireshark reads the name to pick the dissector.
            size_t nameLength = 0;
            while (nameLength < length && data[at + nameLength] != 0) ++nameLength;
            if (nameLength != std::strlen(PcapngDissectorName) ||
                std::memcmp(data + at, PcapngDissectorName, nameLength) != 0) {
                return Refuse("a packet for the dissector " + Quoted(data + at, nameLength) + ", not " +
                              PcapngDissectorName);
            }
            named = true;
        }
        at += length;
    }
    if (!named) return Refuse("a packet that names no dissector; it is not ours");

    // The trailer after the line's bytes (see capture_piece.h).
    if (captured - at < PCAPNG_TRAILER_BYTES) return Refuse("a packet too short for its trailer");
    const unsigned char* trailer = data + captured - PCAPNG_TRAILER_BYTES;
    unsigned trailerBytes = (trailer[6] << 8) | trailer[7];
    if (trailer[5] != PCAPNG_TRAILER_VERSION || trailerBytes != PCAPNG_TRAILER_BYTES) {
        return Refuse("a packet trailer of version " + Number(trailer[5]) + " (" + Number(trailerBytes) +
                      " bytes); this reader knows version 1");
    }
    int kind = trailer[4];
    if (kind < SPLIT_ACK || kind > SPLIT_STRAY) return Refuse("a piece of unknown kind " + Number(static_cast<unsigned>(kind)));
    unsigned long long span = (static_cast<unsigned long long>(trailer[0]) << 24) | (trailer[1] << 16) |
                              (trailer[2] << 8) | trailer[3];

    int dir = TAP_UNKNOWN;  // no flags, or flags without a direction: one line heard as it is
    std::string comment;
    Options options{data + ((captured + 3) & ~3ul), body + body_.size() - 4, bigEndian_};
    while (options.Next()) {
        if (options.code == OPT_COMMENT) {
            if (!comment.empty()) comment += '\n';  // Wireshark keeps every comment a packet was given
            comment.append(reinterpret_cast<const char*>(options.value), options.length);
        } else if (options.code == EPB_FLAGS && options.length == 4) {
            unsigned long flags = U32(options.value);
            if ((flags & 3) == 2) dir = TAP_HOST;
            if ((flags & 3) == 1) dir = TAP_CTRL;
        }
    }
    if (options.broken) return Refuse("an option runs past the end of the block");

    out.line = where.line;
    out.dir = dir;
    out.kind = kind;
    out.firstUs = firstUs;
    out.lastUs = firstUs + static_cast<long long>(span);
    out.bytes.assign(data + at, trailer);
    out.comment = comment;
    out.valid = false;
    if (kind == SPLIT_FRAME && out.bytes.size() >= 2) {
        unsigned sum = 0;
        for (size_t i = 0; i + 1 < out.bytes.size(); ++i) sum += out.bytes[i];
        out.valid = ReplyChecksumValid(sum, out.bytes.back()) == 1;
    }
    return CAPTURE_READ_PIECE;
}
