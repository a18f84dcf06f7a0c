-- Wireshark dissector for the controller link as zantrox-cli captures it.
--
-- A capture (capture/pcapng_writer.h) has one interface per line and one
-- packet per piece the listener cut: a frame (STX, text, ETX, checksum), an ACK,
-- a run of stray bytes, or a frame cut off. Packets are exported PDUs that name
-- this dissector; after the line's bytes comes our 8-byte trailer:
--   u32 microseconds from the first byte to the last, u8 kind, u8 version (1),
--   u16 trailer length (8), all big-endian.
-- The packet's time is its first byte's; the direction is the host's view
-- (outbound: host -> controller, inbound: controller -> host).
--
-- Use:  wireshark -X lua_script:zantrox.lua capture.pcapng
--   or copy it into ~/.local/lib/wireshark/plugins/.
-- Requests and answers are paired as the packets are first seen, in order. A
-- request's zantrox.response_in points forward, so tshark shows it only when it
-- reads twice and dissects the first time too, which it does only with a filter:
--   tshark -2 -R zantrox -X lua_script:zantrox.lua -r capture.pcapng

-- Loaded twice (installed in Wireshark's plugin folder, and given again with
-- -X lua_script), the second copy would stop Wireshark's loading with an error:
-- the copy loaded first serves instead.
local made, zantrox = pcall(Proto, "zantrox", "Zantrox controller link")
if not made then return end

local KIND_ACK, KIND_FRAME, KIND_INCOMPLETE, KIND_STRAY = 1, 2, 3, 4
local kind_names = { [KIND_ACK] = "ack", [KIND_FRAME] = "frame", [KIND_INCOMPLETE] = "incomplete",
                     [KIND_STRAY] = "stray" }
local kind_labels = {}  -- what the kind adds to the protocol's line in the tree
for kind, name in pairs(kind_names) do kind_labels[kind] = ", " .. name end
local STX, ETX = 0x02, 0x03
local TRAILER_BYTES, TRAILER_VERSION = 8, 1
local DIR_SENT, DIR_RECV = 0, 1  -- pinfo.p2p_dir from the packet's direction flags

local checksum_status_names = { [0] = "Bad", [1] = "Good", [2] = "Unverified" }

local f = {
    kind = ProtoField.string("zantrox.kind", "Kind"),
    text = ProtoField.string("zantrox.text", "Text"),
    checksum = ProtoField.uint8("zantrox.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.uint8("zantrox.checksum.status", "Checksum Status", base.DEC,
                                       checksum_status_names),
    bytes = ProtoField.bytes("zantrox.bytes", "Line bytes"),
    span = ProtoField.relative_time("zantrox.span", "First to last byte"),
    trailer_version = ProtoField.uint8("zantrox.trailer.version", "Trailer version"),
    response_in = ProtoField.framenum("zantrox.response_in", "Response in", base.NONE, frametype.RESPONSE),
    request_in = ProtoField.framenum("zantrox.request_in", "Request in", base.NONE, frametype.REQUEST),
    time = ProtoField.relative_time("zantrox.time", "Time from the request's last byte"),
}
zantrox.fields = { f.kind, f.text, f.checksum, f.checksum_status, f.bytes, f.span, f.trailer_version,
                   f.response_in, f.request_in, f.time }

local e = {
    bad_checksum = ProtoExpert.new("zantrox.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
                                   expert.severity.WARN),
    bad_trailer = ProtoExpert.new("zantrox.trailer.bad", "Not a piece from zantrox-cli (no trailer it knows)",
                                  expert.group.MALFORMED, expert.severity.ERROR),
}
zantrox.experts = { e.bad_checksum, e.bad_trailer }

-- Pairing, made when a packet is first seen and read every time after. Packets
-- are first seen in order, so the highest number paired tells seen from not; the
-- links are plain numbers in tables by frame number, no table per packet.
local paired_up_to      -- the highest frame number paired
local open_number       -- the host frame waiting for its answer, or nil
local open_last_us      -- its last byte
local answer_request    -- answer's frame number -> its request's
local answer_time       -- answer's frame number -> microseconds from the request's last byte
local responses         -- request's frame number -> its first answer's frame number

function zantrox.init()
    paired_up_to = 0
    open_number = nil
    open_last_us = nil
    answer_request = {}
    answer_time = {}
    responses = {}
end

local byte, format, floor = string.byte, string.format, math.floor

local function microseconds(us)
    return NSTime.new(floor(us / 1000000), (us % 1000000) * 1000)
end

-- The console's trace form: printable ASCII as itself, any other byte as " [XX]".
local byte_trace = {}
for b = 0, 255 do
    if b < 0x20 or b > 0x7E then byte_trace[string.char(b)] = format(" [%02X]", b) end
end
local function trace(bytes)
    return (bytes:gsub("[^ -~]", byte_trace))
end

-- What a piece's bytes say, worked out once for each kind and line and kept: a
-- capture holds hundreds of thousands of pieces, most of them repeats (the same
-- status request, the same ACK), and the garbage of working them out again is
-- what costs most. { info without the direction, frame checksum good, frame sum,
-- then the info with "host >  ", with "< ctrl  ", without a direction as needed }.
local PIECES_KEPT = 4096  -- a capture of ever-new lines starts over rather than grow
local pieces, pieces_kept = {}, 0

local function describe(kind, line, n)
    local of_kind = pieces[kind]
    local known = of_kind and of_kind[line]
    if known then return known end
    if kind == KIND_FRAME and n >= 3 and byte(line, 1) == STX then
        local sum = 0
        for i = 1, n - 1 do sum = sum + byte(line, i) end
        local good = (sum + byte(line, n)) % 128 == 0
        known = { (good and "frame  (CheckSum = OK)    " or "frame  (CheckSum = ERROR) ") .. trace(line), good, sum }
    elseif kind == KIND_ACK then
        known = { "ACK" }
    elseif kind == KIND_INCOMPLETE then
        known = { "incomplete frame  " .. trace(line) }
    else
        known = { "stray  " .. trace(line) }
    end
    if pieces_kept == PIECES_KEPT then
        pieces, pieces_kept = {}, 0
    end
    if not pieces[kind] then pieces[kind] = {} end
    pieces[kind][line] = known
    pieces_kept = pieces_kept + 1
    return known
end

-- Times are whole microseconds since 1970 here, made NSTimes only for the tree.
local function pair(number, dir, kind, first_us, last_us)
    if dir == DIR_SENT and kind == KIND_FRAME then
        open_number, open_last_us = number, last_us
    elseif dir == DIR_RECV and open_number and (kind == KIND_ACK or kind == KIND_FRAME) then
        answer_request[number] = open_number
        answer_time[number] = first_us - open_last_us
        if not responses[open_number] then responses[open_number] = number end
        -- The ACK comes first; a reply frame after it belongs to the same request and ends it.
        if kind == KIND_FRAME then open_number = nil end
    end
end

-- The tree items of one piece, in the order they are shown.
local function add_items(tree, tvb, n, kind, kind_name, span_us, frame_good, frame_sum, number)
    local root = tree:add(zantrox, tvb())
    root:append_text(kind_labels[kind] or ", " .. kind_name)
    root:add(f.kind, tvb(n + 4, 1), kind_name)
    if n > 0 then root:add(f.bytes, tvb(0, n)) end
    if frame_good ~= nil then
        root:add(f.text, tvb(1, n - 3))
        local checksum_byte = tvb(n - 1, 1)
        local item = root:add(f.checksum, checksum_byte)
        root:add(f.checksum_status, checksum_byte, frame_good and 1 or 0):set_generated()
        if not frame_good then
            local checksum = checksum_byte:uint()
            item:add_proto_expert_info(e.bad_checksum,
                format("Bad checksum 0x%02x, should be 0x%02x", checksum, (128 - frame_sum % 128) % 128))
        end
    elseif kind == KIND_INCOMPLETE and n > 1 and tvb(0, 1):uint() == STX then
        root:add(f.text, tvb(1, n - 1))
    end
    root:add(f.span, tvb(n, 4), microseconds(span_us)):set_generated()
    root:add(f.trailer_version, tvb(n + 5, 1))
    local response = responses[number]
    if response then root:add(f.response_in, response):set_generated() end
    local request = answer_request[number]
    if request then
        root:add(f.request_in, request):set_generated()
        root:add(f.time, microseconds(answer_time[number])):set_generated()
    end
end

-- A capture holds hundreds of thousands of pieces and every call into Wireshark
-- costs more than the Lua around it, so the bytes are read once (tvb:raw) and
-- taken apart as a Lua string, and the tree is left alone when there is none:
-- tshark without -V, fields or a filter passes a tree without an item, whose
-- text is nil. The columns and the pairing are made either way.
function zantrox.dissector(tvb, pinfo, tree)
    local cols = pinfo.cols
    cols.protocol = "Zantrox"
    local raw = tvb:raw()
    local length = #raw
    local with_tree = tree.text ~= nil
    local span_hi, span_b2, span_b1, span_lo, kind, version, size_hi, size_lo
    if length >= TRAILER_BYTES then
        span_hi, span_b2, span_b1, span_lo, kind, version, size_hi, size_lo = byte(raw, length - 7, length)
    end
    if length < TRAILER_BYTES or size_hi * 256 + size_lo ~= TRAILER_BYTES or version ~= TRAILER_VERSION then
        if with_tree then tree:add(zantrox, tvb()):add_proto_expert_info(e.bad_trailer) end
        cols.info = "not a zantrox-cli piece"
        return length
    end
    local n = length - TRAILER_BYTES
    local span_us = ((span_hi * 256 + span_b2) * 256 + span_b1) * 256 + span_lo
    local line = raw:sub(1, n)
    local dir = pinfo.p2p_dir
    local number = pinfo.number

    local piece = describe(kind, line, n)

    -- Not pinfo.visited: tshark -2 without a filter skips the first pass, and
    -- the links it can still make (request_in, time) are made on the second.
    if number > paired_up_to then
        paired_up_to = number
        -- The packet's time as a double keeps microseconds exactly for centuries yet;
        -- a Field extractor for frame.time would make Wireshark build every packet's tree.
        local first_us = floor(pinfo.abs_ts * 1000000 + 0.5)
        pair(number, dir, kind, first_us, first_us + span_us)
    end
    if with_tree then
        add_items(tree, tvb, n, kind, kind_names[kind] or format("unknown (%d)", kind), span_us, piece[2],
                  piece[3], number)
    end

    -- The Info text with its direction, made once for each piece and direction.
    local side = dir == DIR_SENT and 4 or (dir == DIR_RECV and 5 or 6)
    local info = piece[side]
    if not info then
        info = (side == 4 and "host >  " or (side == 5 and "< ctrl  " or "")) .. piece[1]
        piece[side] = info
    end
    cols.info = info
    return length
end
