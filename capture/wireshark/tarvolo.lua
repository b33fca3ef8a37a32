-- Wireshark/tshark dissector for captures of a handset's download line (tarvolo download
-- --capture, a station's captures of failed units). The captures use the user link type
-- LINKTYPE_USER0 (147); each packet is the bytes of one write (host) or one read (handset),
-- its direction in the packet flags, its line speed in its interface's name ("line 115200").
--
-- Each direction is one byte stream: a frame may span packets, and a packet may hold several
-- frames. A frame is shown with the packet its last byte came in (with its whole bytes in a
-- tab of their own when it began earlier). The host's block frame has no length field: it ends
-- when its payload has made one block, of the size and blank byte the handset's last parameter
-- record announced. The names and fields are those `tarvolo trace show` prints
-- (capture/frame_dissector.cpp): a change to one is a change to both.
--
-- Use: tshark -X lua_script:tarvolo.lua -r CAPTURE -V, or copy it into a plugin folder
-- (~/.local/lib/wireshark/plugins/ or /usr/lib/x86_64-linux-gnu/wireshark/plugins/).

local tarvolo = Proto("tarvolo", "Tarvolo handset download")

local pf = {
    frame = ProtoField.string("tarvolo.frame", "Frame"),
    direction = ProtoField.string("tarvolo.direction", "Direction"),
    speed = ProtoField.uint32("tarvolo.speed", "Line speed"),
    speed_code = ProtoField.string("tarvolo.speed_code", "Speed code"),
    requested_speed = ProtoField.uint32("tarvolo.requested_speed", "Requested speed"),
    trailer = ProtoField.uint8("tarvolo.trailer", "Trailer", base.HEX),
    block = ProtoField.uint16("tarvolo.block", "Block"),
    encoding = ProtoField.string("tarvolo.encoding", "Encoding"),
    length = ProtoField.uint32("tarvolo.length", "Payload length"),
    checksum = ProtoField.uint16("tarvolo.checksum", "Checksum", base.HEX),
    value = ProtoField.uint8("tarvolo.value", "Value", base.HEX),
    product = ProtoField.string("tarvolo.product", "Product identifier"),
    download_code = ProtoField.string("tarvolo.download_code", "Download code"),
    protocol = ProtoField.string("tarvolo.protocol", "Protocol"),
    block_size = ProtoField.int32("tarvolo.block_size", "Block size"),
    blank = ProtoField.uint8("tarvolo.blank", "Blank byte", base.HEX),
    unparsed = ProtoField.uint32("tarvolo.unparsed", "Bytes that do not parse"),
}
tarvolo.fields = {}
for _, field in pairs(pf) do table.insert(tarvolo.fields, field) end

local ex_unparsed = ProtoExpert.new("tarvolo.unparsed.expert", "Bytes that do not parse as a frame",
                                    expert.group.MALFORMED, expert.severity.ERROR)
tarvolo.experts = { ex_unparsed }

local f_direction = Field.new("frame.packet_flags_direction")
local f_interface = Field.new("frame.interface_name")

local speeds = { ["4"] = 19200, ["3"] = 28800, ["2"] = 38400, ["1"] = 57600, ["0"] = 115200 }

-- Per file: the two streams' bytes not yet a whole frame, the record's block size and blank
-- byte, and the frames found in each packet (found on the first pass, shown on every pass).
local state

function tarvolo.init()
    state = { host = "", handset = "", block_size = 1024, blank = 0xFF, found = {} }
end

local function u8(s, i) return s:byte(i + 1) end
local function u16be(s, i) return u8(s, i) * 256 + u8(s, i + 1) end

-- A record's text field up to its first NUL, printable ASCII as is and \xNN otherwise.
local function shown(s)
    s = s:match("^[^%z]*")
    return (s:gsub("[^\32-\126]", function(c) return string.format("\\x%02X", c:byte()) end))
end

-- The block frame's length, or nil while incomplete.
local function block_frame_length(b)
    local size = state.block_size
    if size < 1 then size = 1 end
    if state.blank == 0xFF then
        if #b >= 4 + size then return 4 + size end
        return nil
    end
    local made, i = 0, 4
    while made < size do
        if i >= #b then return nil end
        local c = u8(b, i)
        if c ~= state.blank then made, i = made + 1, i + 1
        elseif i + 1 >= #b then return nil
        elseif u8(b, i + 1) == state.blank then made, i = made + 1, i + 2
        elseif i + 2 >= #b then return nil
        else made, i = made + u8(b, i + 2), i + 3 end
    end
    return i
end

-- Each parser returns a frame {name, length, fields = {{field, value}...}, unparsed} or nil
-- while the frame is incomplete.
local function host_frame(b)
    if #b < 2 then return nil end
    local letter = b:sub(2, 2)
    if letter == "i" then return { name = "Inquiry", length = 2, fields = {} } end
    if letter == "e" then return { name = "Erase", length = 2, fields = {} } end
    if letter == "a" then return { name = "Abort", length = 2, fields = {} } end
    if letter == "p" then
        if #b < 4 then return nil end
        local code = b:sub(3, 3)
        return { name = "Parameter request", length = 4,
                 unparsed = speeds[code] == nil or u8(b, 3) ~= 0xFF,
                 fields = { { pf.speed_code, shown(code) }, { pf.requested_speed, speeds[code] or 0 },
                            { pf.trailer, u8(b, 3) } } }
    end
    if letter == "c" then
        if #b < 4 then return nil end
        return { name = "Checksum", length = 4, fields = { { pf.checksum, u16be(b, 2) } } }
    end
    if letter == "w" then
        if #b < 4 then return nil end
        local length = block_frame_length(b)
        if not length then return nil end
        return { name = "Block", length = length,
                 fields = { { pf.block, u16be(b, 2) },
                            { pf.encoding, state.blank == 0xFF and "raw" or "run-length" },
                            { pf.length, length - 4 } } }
    end
    return { name = "Unparsed", length = 2, unparsed = true, fields = {} }
end

local answer_extra = { p = 64, w = 2, c = 2, W = 1 }
local answer_names = { i = "Present", e = "Erased", E = "Erase refused", C = "Completion refused",
                       a = "Aborted", S = "Status", s = "Status", w = "Block written",
                       W = "Block refused", c = "Handset checksum", p = "Parameter record" }

local function parameter_record(r)
    local size = u8(r, 32) + u8(r, 33) * 256 + u8(r, 34) * 65536 + u8(r, 35) * 16777216
    if size >= 2147483648 then size = size - 4294967296 end
    local protocol = r:sub(23, 23)
    local protocols = { ["0"] = "0 (CRC-16/X-25)", ["1"] = "1 (byte sum)" }
    state.block_size = (size > 0 and size <= 1048576) and size or 1
    state.blank = u8(r, 41)
    return { { pf.product, shown(r:sub(1, 4)) }, { pf.download_code, shown(r:sub(17, 22)) },
             { pf.protocol, protocols[protocol] or shown(protocol) }, { pf.block_size, size },
             { pf.blank, u8(r, 41) } }
end

local function handset_frame(b)
    if #b < 2 then return nil end
    local letter = b:sub(2, 2)
    local name = answer_names[letter]
    if not name then return { name = "Unparsed", length = 2, unparsed = true, fields = {} } end
    local length = 2 + (answer_extra[letter] or 0)
    if #b < length then return nil end
    local frame = { name = name, length = length, fields = {} }
    if letter == "w" then frame.fields = { { pf.block, u16be(b, 2) } }
    elseif letter == "W" then frame.fields = { { pf.value, u8(b, 2) } }
    elseif letter == "c" then frame.fields = { { pf.checksum, u16be(b, 2) } }
    elseif letter == "p" then frame.fields = parameter_record(b:sub(3, 66)) end
    return frame
end

-- Takes the whole frames off the front of one stream.
local function take(stream, outbound)
    local mark = outbound and "<" or ">"
    local frames = {}
    while #state[stream] > 0 do
        local b = state[stream]
        local frame
        if b:sub(1, 1) ~= mark then
            local next_mark = b:find(mark, 2, true)
            frame = { name = "Unparsed", length = next_mark and next_mark - 1 or #b, unparsed = true, fields = {} }
        else
            frame = outbound and host_frame(b) or handset_frame(b)
            if not frame then break end
        end
        frame.bytes = b:sub(1, frame.length)
        if frame.unparsed and frame.name == "Unparsed" then
            table.insert(frame.fields, { pf.unparsed, frame.length })
        end
        state[stream] = b:sub(frame.length + 1)
        table.insert(frames, frame)
    end
    return frames
end

function tarvolo.dissector(tvb, pinfo, tree)
    pinfo.cols.protocol = "Tarvolo"
    local direction = f_direction()
    local outbound = direction ~= nil and direction.value == 2
    local interface = f_interface()
    local speed = interface and tonumber(tostring(interface.value):match("^line (%d+)")) or 0
    local length = tvb:len()

    if not pinfo.visited and state.found[pinfo.number] == nil then
        local stream = outbound and "host" or "handset"
        if length > 0 then state[stream] = state[stream] .. tvb:raw() end
        state.found[pinfo.number] = { frames = take(stream, outbound), own = length }
    end
    local found = state.found[pinfo.number] or { frames = {}, own = length }

    local names = {}
    local root = tree:add(tarvolo, tvb(), "Tarvolo, " .. (outbound and "host" or "handset"))
    root:add(pf.direction, outbound and "host" or "handset")
    root:add(pf.speed, speed)
    -- The frames end in this packet; their last `own` bytes (at most) are this packet's.
    local consumed_here = 0
    for _, frame in ipairs(found.frames) do
        table.insert(names, frame.name)
        local here = math.min(#frame.bytes, length - consumed_here)
        local range
        if here == #frame.bytes then
            range = tvb(consumed_here, here)
        else
            range = ByteArray.new(frame.bytes, true):tvb(frame.name)()
        end
        consumed_here = consumed_here + here
        local item = root:add(tarvolo, range, frame.name)
        item:add(pf.frame, frame.name)
        for _, field in ipairs(frame.fields) do item:add(field[1], field[2]) end
        if frame.unparsed then item:add_proto_expert_info(ex_unparsed) end
    end
    if #names == 0 and length > 0 then table.insert(names, "(part of a frame)") end
    pinfo.cols.info = (outbound and "host: " or "handset: ") .. table.concat(names, ", ")
    return length
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, tarvolo)
