-- Wireshark dissector for the controller link as zantrox-cli captures it.
--
-- A capture (cli/capture/pcapng_writer.h) has one interface per line and one
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

local zantrox = Proto("zantrox", "Zantrox controller link")

local KIND_ACK, KIND_FRAME, KIND_INCOMPLETE, KIND_STRAY = 1, 2, 3, 4
local kind_names = { [KIND_ACK] = "ack", [KIND_FRAME] = "frame", [KIND_INCOMPLETE] = "incomplete",
                     [KIND_STRAY] = "stray" }
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

local frame_time = Field.new("frame.time")

-- Pairing, made when a packet is first seen and read every time after.
local seen              -- frame number -> true once paired
local open_request      -- { number, last_byte } of the host frame waiting for its answer
local answers           -- answer's frame number -> { request, time }
local responses         -- request's frame number -> its first answer's frame number

function zantrox.init()
    seen = {}
    open_request = nil
    answers = {}
    responses = {}
end

local function microseconds(us)
    return NSTime.new(math.floor(us / 1000000), (us % 1000000) * 1000)
end

-- The console's trace form: printable ASCII as itself, any other byte as " [XX]".
local function trace(range)
    local out = {}
    for i = 0, range:len() - 1 do
        local b = range(i, 1):uint()
        if b >= 0x20 and b <= 0x7E then
            out[#out + 1] = string.char(b)
        else
            out[#out + 1] = string.format(" [%02X]", b)
        end
    end
    return table.concat(out)
end

local function pair(pinfo, dir, kind, first_byte, last_byte)
    if dir == DIR_SENT and kind == KIND_FRAME then
        open_request = { number = pinfo.number, last_byte = last_byte }
    elseif dir == DIR_RECV and open_request and (kind == KIND_ACK or kind == KIND_FRAME) then
        answers[pinfo.number] = { request = open_request.number, time = first_byte - open_request.last_byte }
        if not responses[open_request.number] then responses[open_request.number] = pinfo.number end
        -- The ACK comes first; a reply frame after it belongs to the same request and ends it.
        if kind == KIND_FRAME then open_request = nil end
    end
end

function zantrox.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "Zantrox"
    local length = tvb:len()
    local root = tree:add(zantrox, tvb())
    if length < TRAILER_BYTES or tvb(length - 2, 2):uint() ~= TRAILER_BYTES
            or tvb(length - 3, 1):uint() ~= TRAILER_VERSION then
        root:add_proto_expert_info(e.bad_trailer)
        pinfo.cols.info = "not a zantrox-cli piece"
        return length
    end
    local n = length - TRAILER_BYTES
    local trailer = tvb(n, TRAILER_BYTES)
    local kind = trailer(4, 1):uint()
    local span_us = trailer(0, 4):uint()
    local line = n > 0 and tvb(0, n) or tvb(0, 0)
    local first_byte = frame_time()()
    local last_byte = first_byte + microseconds(span_us)
    local dir = pinfo.p2p_dir

    local kind_name = kind_names[kind] or string.format("unknown (%d)", kind)
    root:append_text(", " .. kind_name)
    root:add(f.kind, trailer(4, 1), kind_name)
    if n > 0 then root:add(f.bytes, line) end

    local info
    if kind == KIND_FRAME and n >= 3 and tvb(0, 1):uint() == STX then
        local sum = 0
        for i = 0, n - 2 do sum = sum + tvb(i, 1):uint() end
        local checksum = tvb(n - 1, 1):uint()
        local good = (sum + checksum) % 128 == 0
        root:add(f.text, tvb(1, n - 3))
        local item = root:add(f.checksum, tvb(n - 1, 1))
        root:add(f.checksum_status, tvb(n - 1, 1), good and 1 or 0):set_generated()
        if not good then
            item:add_proto_expert_info(e.bad_checksum,
                string.format("Bad checksum 0x%02x, should be 0x%02x", checksum, (128 - sum % 128) % 128))
        end
        info = string.format("frame  %-18s ", good and "(CheckSum = OK)" or "(CheckSum = ERROR)") .. trace(line)
    elseif kind == KIND_ACK then
        info = "ACK"
    elseif kind == KIND_INCOMPLETE then
        if n > 1 and tvb(0, 1):uint() == STX then root:add(f.text, tvb(1, n - 1)) end
        info = "incomplete frame  " .. trace(line)
    else
        info = "stray  " .. trace(line)
    end
    local span = root:add(f.span, trailer(0, 4), microseconds(span_us))
    span:set_generated()
    root:add(f.trailer_version, trailer(5, 1))

    -- Not pinfo.visited: tshark -2 without a filter skips the first pass, and
    -- the links it can still make (request_in, time) are made on the second.
    if not seen[pinfo.number] then
        seen[pinfo.number] = true
        pair(pinfo, dir, kind, first_byte, last_byte)
    end
    local response = responses[pinfo.number]
    if response then root:add(f.response_in, response):set_generated() end
    local answer = answers[pinfo.number]
    if answer then
        root:add(f.request_in, answer.request):set_generated()
        root:add(f.time, answer.time):set_generated()
    end

    local side = dir == DIR_SENT and "host >  " or (dir == DIR_RECV and "< ctrl  " or "")
    pinfo.cols.info = side .. info
    return length
end
