-- Tiv bus telegrams in pcapng captures of link type 150 (DLT_USER3), as `tivctl record
-- FILE.pcapng` and `tivctl monitor --pcapng -` write them.
--
-- Packet layout: direction byte, then the frame as the driver stores it: length byte (record
-- length + 2), flags (bit 7: CRC), the telegram record, checksum low and high.
--
-- Install: cp tools/wireshark/tiv.lua ~/.local/lib/wireshark/plugins/
-- One-off:  tshark -X lua_script:tools/wireshark/tiv.lua -r FILE.pcapng

local bits = bit32 or bit

local tiv = Proto("tiv", "Tiv bus telegram")

local directions = {
    [0] = "unknown",
    [1] = "echo of a telegram this adapter sent",
    [2] = "device answer",
    [3] = "cyclic",
    [4] = "marker",
}
local type_names = {
    [0] = "cyclic type 0", [1] = "cyclic type 1", [2] = "cyclic type 2",
    [3] = "cyclic type 3", [4] = "cyclic type 4",
    [5] = "request", [6] = "response", [7] = "service",
}
-- The values the analyser's own checksum fields use.
local BAD, GOOD, UNVERIFIED = 0, 1, 2
local checksum_states = { [BAD] = "Bad", [GOOD] = "Good", [UNVERIFIED] = "Unverified" }

local f = {
    direction = ProtoField.uint8("tiv.direction", "Direction", base.DEC, directions),
    length = ProtoField.uint8("tiv.length", "Frame length", base.DEC),
    flags = ProtoField.uint8("tiv.flags", "Flags", base.HEX),
    flags_crc = ProtoField.bool("tiv.flags.crc", "Checksum method", 8,
                                { "CRC-16/XMODEM", "16-bit sum" }, 0x80),
    type_byte = ProtoField.uint8("tiv.type_byte", "Type byte", base.HEX),
    type = ProtoField.uint8("tiv.type", "Telegram type", base.DEC, type_names, 0xE0),
    size = ProtoField.uint8("tiv.size", "DataSize", base.DEC),
    sub = ProtoField.uint8("tiv.sub", "SubNo", base.DEC),
    obj = ProtoField.uint16("tiv.obj", "ObjNo", base.DEC),
    control = ProtoField.uint8("tiv.control", "Control", base.HEX),
    meaning = ProtoField.string("tiv.meaning", "Meaning"),
    error = ProtoField.uint8("tiv.error", "Error code", base.HEX),
    wait = ProtoField.uint16("tiv.wait", "Wait time (timer ticks)", base.DEC),
    delivered = ProtoField.uint8("tiv.delivered_control", "Delivered control", base.HEX),
    marker = ProtoField.uint8("tiv.marker", "Marker value", base.DEC),
    data = ProtoField.bytes("tiv.data", "Data"),
    status = ProtoField.uint8("tiv.status", "Status", base.HEX),
    value = ProtoField.double("tiv.value", "Measured value"),
    timestamp = ProtoField.int32("tiv.timestamp", "Time stamp", base.DEC),
    checksum = ProtoField.uint16("tiv.checksum", "Checksum", base.HEX),
    checksum_status = ProtoField.uint8("tiv.checksum.status", "Checksum status", base.DEC,
                                       checksum_states),
    checksum_calculated = ProtoField.uint16("tiv.checksum.calculated", "Calculated checksum",
                                            base.HEX),
}
tiv.fields = f

local e = {
    bad_checksum = ProtoExpert.new("tiv.checksum.bad", "Bad checksum", expert.group.CHECKSUM,
                                   expert.severity.ERROR),
    error_answer = ProtoExpert.new("tiv.error_answer", "Error answer of the device",
                                   expert.group.RESPONSE_CODE, expert.severity.WARN),
    malformed = ProtoExpert.new("tiv.malformed", "Malformed telegram", expert.group.MALFORMED,
                                expert.severity.ERROR),
}
tiv.experts = e

local CONTROL_POSITIVE, CONTROL_DELAYED, CONTROL_DELIVERED = 0x41, 0x01, 0x0A
local MARKER_OBJ, MARKER_SUB = 0x7DF5, 29
local RECORDING_START_OBJ, RECORDING_START_SUB = 0x7E00, 255

-- CRC-16 with polynomial 0x1021, initial value 0, MSB first, no reflection, no final XOR.
local function crc16(range)
    local crc = 0
    for i = 0, range:len() - 1 do
        crc = bits.bxor(crc, bits.lshift(range(i, 1):uint(), 8))
        for _ = 1, 8 do
            if bits.band(crc, 0x8000) ~= 0 then
                crc = bits.band(bits.bxor(bits.lshift(crc, 1), 0x1021), 0xFFFF)
            else
                crc = bits.band(bits.lshift(crc, 1), 0xFFFF)
            end
        end
    end
    return crc
end

local function sum16(range)
    local sum = 0
    for i = 0, range:len() - 1 do sum = (sum + range(i, 1):uint()) % 0x10000 end
    return sum
end

-- What a device's control code says.
local function answer_meaning(tree, control_range, control)
    if control == CONTROL_POSITIVE then return "positive answer" end
    if control == CONTROL_DELAYED then return "delayed answer announced" end
    tree:add(f.error, control_range):set_generated()
    tree:add_proto_expert_info(e.error_answer, string.format("Error answer 0x%02X", control))
    return string.format("error answer 0x%02X", control)
end

local function dissect_cyclic(record, tree, pinfo, type)
    local obj = bits.band(record(0, 1):uint(), 0x1F)
    tree:add(f.obj, record(0, 1), obj):set_generated()
    local info = string.format("Cyclic type %d obj %d", type, obj)
    if record:len() < 2 then return info end
    tree:add(f.status, record(1, 1))
    local payload = record:len() - 2
    -- As the driver reads measured values: single floats widened, doubles as they are.
    if type == 0 and payload >= 8 then
        local value = record(2, 4):le_float()
        tree:add(f.value, record(2, 4), value)
        tree:add_le(f.timestamp, record(6, 4))
        info = info .. string.format(": %g at %d", value, record(6, 4):le_int())
    elseif type == 1 and payload >= 4 then
        local value = record(2, 4):le_float()
        tree:add(f.value, record(2, 4), value)
        info = info .. string.format(": %g", value)
    elseif type == 2 and payload >= 8 then
        local value = record(2, 8):le_float()
        tree:add(f.value, record(2, 8), value)
        info = info .. string.format(": %g", value)
    elseif payload > 0 then
        tree:add(f.data, record(2, payload))
    end
    return info
end

local function dissect_acyclic(record, tree, pinfo, type)
    if record:len() < 6 then
        tree:add_proto_expert_info(e.malformed, "Acyclic record shorter than its header")
        return type_names[type] .. " (cut short)"
    end
    local size = record(1, 1):uint()
    tree:add(f.size, record(1, 1))
    tree:add(f.sub, record(2, 1))
    tree:add_le(f.obj, record(3, 2))
    local control_range = record(5, 1)
    tree:add(f.control, control_range)
    local sub, obj, control = record(2, 1):uint(), record(3, 2):le_uint(), control_range:uint()
    if size + 2 ~= record:len() then
        tree:add_proto_expert_info(e.malformed, string.format(
            "DataSize %d does not fit a record of %d bytes", size, record:len()))
    end
    local data_len = math.min(math.max(size - 4, 0), record:len() - 6)
    local data = data_len > 0 and record(6, data_len) or nil
    if data then tree:add(f.data, data) end

    local meaning
    if type == 5 then
        if control == 0xC0 then
            meaning = "read request"
        elseif control == 0xC1 then
            meaning = "write request"
        else
            meaning = string.format("request 0x%02X", control)
        end
    elseif type == 6 then
        meaning = answer_meaning(tree, control_range, control)
        if control == CONTROL_DELAYED and data then
            -- One byte of wait time when DataSize is 5, else two, low byte first.
            local wait = size == 5 and data(0, 1) or (data_len >= 2 and data(0, 2) or nil)
            if wait then
                tree:add_le(f.wait, wait)
                meaning = string.format("%s, wait %d ticks", meaning, wait:le_uint())
            end
        end
    elseif obj == MARKER_OBJ and sub == MARKER_SUB then
        meaning = "marker"
        if data_len >= 5 then
            local value = data(4, 1):uint()
            tree:add(f.marker, data(4, 1))
            meaning = string.format("marker \"%s\" (%d)%s", string.char(value), value,
                value == 49 and ", recording start" or value == 50 and ", recording stop" or "")
        end
    elseif obj == RECORDING_START_OBJ and sub == RECORDING_START_SUB then
        meaning = "recording start telegram"
    elseif control == CONTROL_DELIVERED then
        meaning = "delivered delayed answer"
        if data then
            -- The real control code, one spare byte, then the answer's data.
            tree:add(f.delivered, data(0, 1))
            meaning = meaning .. ": " .. answer_meaning(tree, data(0, 1), data(0, 1):uint())
        end
    else
        meaning = string.format("service telegram 0x%02X", control)
    end
    tree:add(f.meaning, meaning):set_generated()
    return string.format("%s obj %d sub %d: %s", type_names[type]:gsub("^%l", string.upper), obj,
                         sub, meaning)
end

function tiv.dissector(tvb, pinfo, root)
    pinfo.cols.protocol = "TIV"
    local tree = root:add(tiv, tvb())
    if tvb:len() < 1 then return 0 end
    tree:add(f.direction, tvb(0, 1))
    if tvb:len() < 4 then
        tree:add_proto_expert_info(e.malformed, "Packet too short for a frame")
        pinfo.cols.info = "Malformed (too short)"
        return tvb:len()
    end
    local length = tvb(1, 1):uint()
    tree:add(f.length, tvb(1, 1))
    local flags = tree:add(f.flags, tvb(2, 1))
    flags:add(f.flags_crc, tvb(2, 1))
    local crc = bits.band(tvb(2, 1):uint(), 0x80) ~= 0

    -- The length byte comes from the bus: never read past the packet.
    local record_len = length - 2
    local whole = record_len >= 1 and tvb:len() >= 3 + record_len + 2
    if record_len < 1 then
        tree:add_proto_expert_info(e.malformed, "Length byte too small")
        pinfo.cols.info = "Malformed (length byte " .. length .. ")"
        return tvb:len()
    end
    if not whole then
        tree:add_proto_expert_info(e.malformed, "Frame cut short")
        record_len = math.min(record_len, tvb:len() - 3)
    elseif tvb:len() > 3 + record_len + 2 then
        tree:add_proto_expert_info(e.malformed, "Bytes behind the checksum")
    end
    local record = tvb(3, record_len)
    tree:add(f.type_byte, record(0, 1))
    tree:add(f.type, record(0, 1))
    local type = bits.rshift(record(0, 1):uint(), 5)

    local info
    if type <= 4 then
        info = dissect_cyclic(record, tree, pinfo, type)
    else
        info = dissect_acyclic(record, tree, pinfo, type)
    end

    if whole then
        local stored = tvb(3 + record_len, 2)
        local calculated = crc and crc16(record) or sum16(record)
        tree:add_le(f.checksum, stored)
        local status
        if stored:le_uint() == calculated then
            status = GOOD
        else
            status = BAD
            tree:add_proto_expert_info(e.bad_checksum, string.format(
                "Bad checksum: 0x%04X stored, 0x%04X calculated (%s)", stored:le_uint(),
                calculated, crc and "CRC" or "sum"))
            info = info .. " [BAD CHECKSUM]"
        end
        tree:add(f.checksum_calculated, stored, calculated):set_generated()
        tree:add(f.checksum_status, stored, status):set_generated()
    else
        tree:add(f.checksum_status, tvb(0, 0), UNVERIFIED):set_generated()
        info = info .. " [cut short]"
    end
    pinfo.cols.info = info
    return tvb:len()
end

DissectorTable.get("wtap_encap"):add((wtap_encaps or wtap).USER3, tiv)
