// One piece of a capture file as the writer takes it and the reader gives it back:
// what the frame splitter cut on one line, placed on the calendar.
#pragma once

#include <string>
#include <vector>

#include "events/line_events.h"
#include "link/frame_splitter.h"

struct CapturePiece {
    int line = 0;        // the interface: index into the lines the capture was started with
    int dir = TAP_HOST;  // a TapDirection: host -> controller is outbound, the other inbound;
                         // TAP_UNKNOWN has no direction flags
    int kind = SPLIT_FRAME;  // a SplitKind
    bool valid = false;  // frames: the checksum holds (the reader works it out; the writer ignores it)
    long long firstUs = 0;  // the first byte, UTC microseconds since 1970
    long long lastUs = 0;   // the last byte, the same clock
    std::vector<unsigned char> bytes;  // as they came, framing included
    std::string comment;    // "" for none
};

// How each packet of ours is laid out after the pcapng block around it. The link
// type is Wireshark's exported PDUs; the tags name the dissector, then the line's
// bytes follow exactly as they came, then a trailer of ours:
//   [tag 12, length 8]["zantrox\0"] [tag 0, length 0]   exported-PDU tags, big-endian
//   the piece's bytes
//   [u32 last byte - first byte, us][u8 kind][u8 trailer version][u16 trailer length]
// The last byte's time has no standard pcapng option (a custom option needs an
// enterprise number), and an exported-PDU tag number of our own would squat in
// Wireshark's registry: 4.0 knows tags up to 35 and later releases gave 36 and 37
// meanings. What follows the end tag is the named dissector's own, so the time
// goes there, after the bytes, where a Wireshark without our dissector still shows
// the line's bytes first. The trailer's length comes last so a later, longer
// trailer can still be found from the end.
enum : unsigned {
    PCAPNG_LINKTYPE_UPPER_PDU = 252,
    PCAPNG_TAG_DISSECTOR_NAME = 12,
    PCAPNG_TAG_END = 0,
    PCAPNG_TRAILER_BYTES = 8,
    PCAPNG_TRAILER_VERSION = 1,
    PCAPNG_BLOCK_MOST = 1u << 20,  // a reader refuses bigger blocks; the writer never comes near
};

// The dissector name in tag 12, padded with zeros to 8 bytes in the file.
inline constexpr char PcapngDissectorName[] = "zantrox";
