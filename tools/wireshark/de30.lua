-- de30.lua: Wireshark and tshark dissector for de30 line captures.
--
-- A capture (docs/capture.md) holds one interface per line, link type USER0, and
-- two packets per exchange: the frame the driver sent and the reply that came
-- back, each behind an 8-byte header telling the exchange's outcome. This file
-- names every byte as the driver reads it, pairs each reply with its frame and
-- marks what went wrong. Field names (de30.*) are listed in docs/capture.md.
--
-- Use: tshark -X lua_script:de30.lua -r FILE, or copy it to
-- ~/.local/lib/wireshark/plugins/ (the package installs it in the global folder).
--
-- The vocabulary section below is made from the driver's own tables by
-- de30_wireshark_vocabulary (tools/wireshark/vocabulary_lua.cpp); the test suite
-- fails when it differs from what the program prints.

-- @generated vocabulary begin
-- Made by de30_wireshark_vocabulary from the driver's wire vocabulary; do not
-- edit. Regenerate: cmake --build build/default --target wireshark_vocabulary
local V = {
  -- the capture file's header in front of every packet
  header_bytes = 8,
  header_version = 1,
  outcome = { accepted = 0, rejected = 1, timeout = 2, channel_error = 3 },
  outcomes = { [0] = "accepted", [1] = "rejected", [2] = "timeout", [3] = "channel error", [4] = "heard in no exchange", },
  -- a tap's bytes in no exchange: that outcome, exchange 0, the kind in the result
  loose_outcome = 4,
  loose_kinds = { [1] = "garbage", [2] = "reply without its frame" },
  -- the line
  frame_start = 0x00,
  totals_lead = 0x02,
  wire_scale = 100,
  lead_at = 0,
  code_at = 1,
  -- command numbers, the low three bits of a lead byte
  commands = {
    [0x01] = "status poll",
    [0x02] = "read",
    [0x03] = "status poll (authorised)",
    [0x04] = "set",
    [0x05] = "execute",
    [0x06] = "nozzle status",
    [0x07] = "re-initialise",
  },
  cmd = { status = 1, read = 2, status_auth = 3, set = 4, execute = 5,
    nozzles = 6, reinit = 7 },
  -- code bytes, position 1 of a command 4 and of the read requests
  codes = {
    [0xE1] = "start",
    [0xD2] = "stop",
    [0x0F] = "dose in litres",
    [0x69] = "price, one grade",
    [0x4B] = "prices, five grades",
    [0x96] = "unblock",
    [0xB4] = "fill data",
    [0x87] = "totals, first request, one nozzle group",
    [0x2D] = "totals, first request, two nozzle groups",
    [0x78] = "totals, second request, one nozzle group",
    [0x1E] = "totals, second request, two nozzle groups",
  },
  code = { start = 0xE1, stop = 0xD2, dose = 0x0F, price_one = 0x69, price_five = 0x4B,
    unblock = 0x96, fill = 0xB4 },
  -- every command the driver sends; send and reply lengths in bytes, without
  -- the frame's leading byte
  shapes = {
    { command = 1, code = nil, send = 1, reply = 3, operation = "GetSost",
      name = "status poll" },
    { command = 3, code = nil, send = 1, reply = 3, operation = "GetSost",
      name = "status poll (authorised)" },
    { command = 2, code = 0xB4, send = 2, reply = 16, operation = "ReadFill",
      name = "fill data" },
    { command = 2, code = 0x87, send = 2, reply = 16, operation = "GetTotals",
      name = "totals, first request, one nozzle group", totals_request = 1, groups = 1 },
    { command = 2, code = 0x2D, send = 2, reply = 28, operation = "GetTotals",
      name = "totals, first request, two nozzle groups", totals_request = 1, groups = 2 },
    { command = 2, code = 0x78, send = 2, reply = 16, operation = "GetTotals",
      name = "totals, second request, one nozzle group", totals_request = 2, groups = 1 },
    { command = 2, code = 0x1E, send = 2, reply = 28, operation = "GetTotals",
      name = "totals, second request, two nozzle groups", totals_request = 2, groups = 2 },
    { command = 4, code = 0xE1, send = 2, reply = 2, operation = "StartPump",
      name = "start" },
    { command = 4, code = 0xD2, send = 2, reply = 2, operation = "StopPump",
      name = "stop" },
    { command = 4, code = 0x0F, send = 5, reply = 5, operation = "SetDoseLitres",
      name = "dose in litres" },
    { command = 4, code = 0x69, send = 4, reply = 4, operation = "SetPrice",
      name = "price, one grade" },
    { command = 4, code = 0x4B, send = 12, reply = 12, operation = "SetPrice",
      name = "prices, five grades" },
    { command = 4, code = 0x96, send = 4, reply = 4, operation = "SendUnblock",
      name = "unblock" },
    { command = 5, code = nil, send = 2, reply = 1, operation = "ExecuteCommand",
      name = "execute" },
    { command = 6, code = nil, send = 1, reply = 5, operation = "GetSostEx",
      name = "nozzle status" },
    { command = 7, code = nil, send = 2, reply = 3, operation = "ReinitPump",
      name = "re-initialise" },
  },
  -- status bytes (position 1 of a status reply) by their name in de30ctl's
  -- trace; a byte not listed is "other"
  status_byte_at = 1,
  status_other = "other",
  status_names = {
    [0x00] = "idle", [0x02] = "fill ended", [0x04] = "fault, asks for re-initialisation",
    [0x08] = "nozzle lifted", [0x09] = "authorised", [0x0A] = "fuelling",
    [0x51] = "fault, asks for re-initialisation", [0x59] = "fault, asks for re-initialisation",
    [0x80] = "fault, asks for re-initialisation", [0x88] = "locked or error",
    [0x89] = "locked or error", [0x8A] = "locked or error", [0x8B] = "locked or error",
    [0x8C] = "locked or error", [0x8D] = "locked or error", [0x8E] = "locked or error",
    [0x8F] = "locked or error", [0x91] = "fault, asks for re-initialisation",
    [0x98] = "locked or error", [0x99] = "locked or error", [0x9A] = "locked or error",
    [0x9B] = "locked or error", [0x9C] = "locked or error", [0x9D] = "locked or error",
    [0x9E] = "locked or error", [0x9F] = "locked or error", [0xA8] = "locked or error",
    [0xA9] = "locked or error", [0xAA] = "locked or error", [0xAB] = "locked or error",
    [0xAC] = "locked or error", [0xAD] = "locked or error", [0xAE] = "locked or error",
    [0xAF] = "locked or error", [0xB8] = "locked or error", [0xB9] = "locked or error",
    [0xBA] = "locked or error", [0xBB] = "locked or error", [0xBC] = "locked or error",
    [0xBD] = "locked or error", [0xBE] = "locked or error", [0xBF] = "locked or error",
    [0xC8] = "locked or error", [0xC9] = "locked or error", [0xCA] = "locked or error",
    [0xCB] = "locked or error", [0xCC] = "locked or error", [0xCD] = "locked or error",
    [0xCE] = "locked or error", [0xCF] = "locked or error", [0xD8] = "locked or error",
    [0xD9] = "locked or error", [0xDA] = "locked or error", [0xDB] = "locked or error",
    [0xDC] = "locked or error", [0xDD] = "locked or error", [0xDE] = "locked or error",
    [0xDF] = "locked or error", [0xE8] = "locked or error", [0xE9] = "locked or error",
    [0xEA] = "locked or error", [0xEB] = "locked or error", [0xEC] = "locked or error",
    [0xED] = "locked or error", [0xEE] = "locked or error", [0xEF] = "locked or error",
    [0xF8] = "locked or error", [0xF9] = "locked or error", [0xFA] = "locked or error",
    [0xFB] = "locked or error", [0xFC] = "locked or error", [0xFD] = "locked or error",
    [0xFE] = "locked or error", [0xFF] = "locked or error",
  },
  status_active_bit = 0x08,
  status_error_bits = 0x88,
  reinit_statuses = { [0x04] = true, [0x51] = true, [0x59] = true, [0x80] = true, [0x91] = true, },
  -- the multi-nozzle reply: where each nozzle's nibble stands
  nibbles = {
    [0x00] = "idle",
    [0x01] = "fill ended",
    [0x02] = "nozzle lifted",
    [0x0A] = "authorised or fuelling",
    [0x0B] = "ready",
  },
  nibble_other = "other, read as idle",
  nozzles = {
    { at = 1, shift = 4 },
    { at = 1, shift = 0 },
    { at = 3, shift = 4 },
    { at = 3, shift = 0 },
  },
  -- command fields: prices and the dose in packed BCD, hundredths
  price_bytes = 2,
  price_at = { 2, 4, 6, 8, 10, },
  price_grades = { [0x69] = 1, [0x4B] = 5 },
  dose_at = 2,
  dose_bytes = 3,
  unblock_code_at = 2,
  -- reply fields: values in packed BCD at every second position, hundredths
  fill_value_bytes = 3,
  fill_amount_at = 2,
  fill_volume_at = 8,
  fill_nozzle_at = 14,
  totals_group_bytes = 12,
  total_value_bytes = 6,
  totals_at = { 2, 14, },
  totals_groups_of = { [16] = 1, [28] = 2, },
  totals_nozzles_at = { 14, 26, },
  -- the channel's result numbers
  channel_errors = {
    [0] = "no error",
    [1] = "line not configured",
    [2] = "cannot open the line",
    [3] = "write failed",
    [4] = "no reply (timeout)",
    [5] = "short reply (timeout)",
    [6] = "line closed by the other side",
    [7] = "bad frame or setting",
    [219] = "reply rejected",
  },
  channel_error_other = "unknown error",
}
-- @generated vocabulary end

-- ---- The capture file's header (docs/capture.md) ----------------------------------

local HEADER_BYTES = V.header_bytes
local HEADER_VERSION = V.header_version
local OUTCOME_ACCEPTED = V.outcome.accepted
local OUTCOME_REJECTED = V.outcome.rejected
local OUTCOME_TIMEOUT = V.outcome.timeout
local OUTCOME_CHANNEL_ERROR = V.outcome.channel_error
-- epb_flags' reception type "promiscuous": a tap heard the packet (de30ctl tap).
local RECEPTION_HEARD = 4

-- ---- Fields -------------------------------------------------------------------------

local de30 = Proto("de30", "de30 dispenser line")

local F = {
  version = ProtoField.uint8("de30.version", "Header version"),
  outcome = ProtoField.uint8("de30.outcome", "Outcome", base.DEC, V.outcomes),
  channel_result = ProtoField.uint8("de30.channel_result", "Channel result", base.DEC,
    V.channel_errors),
  expected_length = ProtoField.uint8("de30.expected_length", "Reply length expected"),
  exchange = ProtoField.uint32("de30.exchange", "Exchange"),
  line = ProtoField.uint32("de30.line", "Line"),
  direction = ProtoField.uint8("de30.direction", "Direction", base.DEC,
    { [1] = "frame sent", [2] = "reply" }),
  request_in = ProtoField.framenum("de30.request_in", "Frame in", base.NONE, frametype.REQUEST),
  response_in = ProtoField.framenum("de30.response_in", "Reply in", base.NONE,
    frametype.RESPONSE),
  time = ProtoField.relative_time("de30.time", "Reply time"),

  frame_start = ProtoField.uint8("de30.frame_start", "Frame start", base.HEX),
  lead = ProtoField.uint8("de30.lead", "Lead byte", base.HEX),
  pump = ProtoField.uint8("de30.pump", "Pump"),
  command = ProtoField.uint8("de30.command", "Command", base.DEC, V.commands),
  operation = ProtoField.string("de30.operation", "Operation"),
  code = ProtoField.uint8("de30.code", "Code byte", base.HEX, V.codes),
  complement = ProtoField.uint8("de30.complement", "Complement", base.HEX),
  complement_bad = ProtoField.bool("de30.complement_bad", "Complement wrong"),
  dose = ProtoField.double("de30.dose", "Dose (litres)"),
  price = ProtoField.double("de30.price", "Price"),
  unblock_code = ProtoField.uint8("de30.unblock_code", "Unblock code"),
  totals_request = ProtoField.uint8("de30.totals.request", "Totals request", base.DEC,
    { [1] = "first", [2] = "second" }),
  totals_groups = ProtoField.uint8("de30.totals.groups", "Nozzle groups"),
  totals_pump = ProtoField.uint8("de30.totals.pump", "Pump last addressed on the line"),

  echo = ProtoField.uint8("de30.echo", "Echo of the lead byte", base.HEX),
  status = ProtoField.uint8("de30.status", "Status byte", base.HEX),
  status_name = ProtoField.string("de30.status.name", "Status"),
  status_active = ProtoField.bool("de30.status.active", "Customer at the pump (bit 3)"),
  status_error = ProtoField.bool("de30.status.error", "Locked or error (bits 7 and 3)"),
  status_reinit = ProtoField.bool("de30.status.reinit", "The driver re-initialises the pump"),
  fill_amount = ProtoField.double("de30.fill.amount", "Fill amount"),
  fill_volume = ProtoField.double("de30.fill.volume", "Fill volume (litres)"),
  fill_nozzle = ProtoField.uint8("de30.fill.nozzle", "Nozzle of the fill"),
  total = ProtoField.double("de30.total", "Total"),
  totals_nozzles = ProtoField.uint8("de30.totals.nozzles", "Nozzle count"),
  echoed = ProtoField.bytes("de30.echoed", "Echoed command"),
  echo_differs = ProtoField.bool("de30.echo_differs", "Echo differs from the command sent"),
  received = ProtoField.uint8("de30.received", "Reply bytes received"),
  partial = ProtoField.bytes("de30.partial", "Bytes of the short reply"),
  bcd_invalid = ProtoField.bool("de30.bcd_invalid", "Digit not decimal"),

  rejected = ProtoField.bool("de30.rejected", "Rejected by the reply check"),
  timeout = ProtoField.bool("de30.timeout", "No reply within the timeout"),
  short = ProtoField.bool("de30.short", "Short reply"),
  channel_error = ProtoField.bool("de30.channel_error", "Channel error"),

  listened = ProtoField.bool("de30.listened", "Heard by a tap: the line was listened to, not driven"),
  loose = ProtoField.bytes("de30.loose", "Bytes heard in no exchange"),
  loose_kind = ProtoField.uint8("de30.loose.kind", "Heard in no exchange", base.DEC,
    V.loose_kinds),
}
-- Prices by grade, nozzles by position, totals by nozzle group.
local price_fields, nozzle_fields, group_fields = {}, {}, {}
for g = 1, #V.price_at do
  price_fields[g] = ProtoField.double("de30.price." .. g, "Price of grade " .. g)
  F["price_" .. g] = price_fields[g]
end
for k = 1, #V.nozzles do
  nozzle_fields[k] = ProtoField.uint8("de30.nozzle." .. k, "Nozzle " .. k, base.HEX, V.nibbles)
  F["nozzle_" .. k] = nozzle_fields[k]
end
for g = 1, #V.totals_at do
  group_fields[g] = ProtoField.double("de30.total.group." .. g, "Total of group " .. g)
  F["group_" .. g] = group_fields[g]
end
local field_list = {}
for _, f in pairs(F) do
  field_list[#field_list + 1] = f
end
de30.fields = field_list

local E = {
  version = ProtoExpert.new("de30.version.unknown", "Unknown capture header version",
    expert.group.UNDECODED, expert.severity.ERROR),
  rejected = ProtoExpert.new("de30.rejected.expert", "Reply rejected by the reply check",
    expert.group.RESPONSE_CODE, expert.severity.WARN),
  timeout = ProtoExpert.new("de30.timeout.expert", "No reply within the timeout",
    expert.group.RESPONSE_CODE, expert.severity.ERROR),
  short = ProtoExpert.new("de30.short.expert", "Short reply", expert.group.MALFORMED,
    expert.severity.ERROR),
  channel = ProtoExpert.new("de30.channel_error.expert", "Channel error",
    expert.group.RESPONSE_CODE, expert.severity.ERROR),
  complement = ProtoExpert.new("de30.complement_bad.expert", "Complement byte wrong",
    expert.group.CHECKSUM, expert.severity.WARN),
  bcd = ProtoExpert.new("de30.bcd_invalid.expert", "Digit not decimal",
    expert.group.MALFORMED, expert.severity.WARN),
  unknown = ProtoExpert.new("de30.unknown_command", "No command of the vocabulary",
    expert.group.MALFORMED, expert.severity.WARN),
  length = ProtoExpert.new("de30.length", "Length differs from the command's",
    expert.group.MALFORMED, expert.severity.WARN),
  frame_start = ProtoExpert.new("de30.frame_start.expert", "Frame does not start with 0x00",
    expert.group.MALFORMED, expert.severity.WARN),
  echo = ProtoExpert.new("de30.echo_differs.expert", "Echo differs from the command sent",
    expert.group.PROTOCOL, expert.severity.NOTE),
  unpaired = ProtoExpert.new("de30.unpaired", "The other packet of the exchange is missing",
    expert.group.SEQUENCE, expert.severity.NOTE),
  loose = ProtoExpert.new("de30.loose.expert", "Bytes a tap heard in no exchange",
    expert.group.SEQUENCE, expert.severity.WARN),
}
local expert_list = {}
for _, e in pairs(E) do
  expert_list[#expert_list + 1] = e
end
de30.experts = expert_list

local f_interface_id = Field.new("frame.interface_id")
local f_interface_name = Field.new("frame.interface_name")
local f_direction = Field.new("frame.packet_flags_direction")
local f_reception = Field.new("frame.packet_flags_reception_type")
local f_time = Field.new("frame.time_epoch")

-- ---- Wire helpers -------------------------------------------------------------------

local function complement(b)
  return 255 - b
end

local function high(b)
  return math.floor(b / 16)
end

local function low(b)
  return b % 16
end

-- Packed BCD, most significant pair first. No nibble is validated: a nibble above 9
-- counts with its value, as the driver reads it.
local function bcd(bytes)
  local r = 0
  for _, b in ipairs(bytes) do
    r = r * 100 + high(b) * 10 + low(b)
  end
  return r
end

local function decimal(h)
  return string.format("%.2f", h / V.wire_scale)
end

local function hex(b)
  return string.format("0x%02X", b)
end

-- The first shape of the vocabulary that starts with Lead and Code.
local function find_shape(lead, code)
  for _, shape in ipairs(V.shapes) do
    if shape.command == lead % 8 and (shape.code == nil or shape.code == code) then
      return shape
    end
  end
end

local function is_totals(lead)
  return lead == V.totals_lead
end

local function status_name(s)
  return V.status_names[s] or V.status_other
end

local function nibble_name(n)
  return V.nibbles[n] or V.nibble_other
end

-- ---- What the first pass learns -----------------------------------------------------

-- By frame number: the packet's role and, through its pair, the other packet.
local packets = {}
-- By interface and exchange number: the frame still waiting for its reply.
local waiting = {}
-- By interface: the pump the last frame addressed, which answers a totals request.
local last_pump = {}

function de30.init()
  packets, waiting, last_pump = {}, {}, {}
end

-- ---- Decoding -----------------------------------------------------------------------

-- One packet being dissected: the tvb, where its line bytes start, its tree.
local Packet = {}
Packet.__index = Packet

function Packet:byte(pos)
  local off = self.base + pos
  if off < self.tvb:len() then
    return self.tvb(off, 1):uint()
  end
end

function Packet:range(pos, len)
  return self.tvb(self.base + pos, len or 1)
end

function Packet:has(pos, len)
  return self.base + pos + (len or 1) <= self.tvb:len()
end

-- Marks a complement byte B at Pos that is not the complement of Of.
function Packet:complement_wrong(item, pos, b, of)
  item:add(F.complement_bad, self:range(pos), true):set_generated()
  item:add_proto_expert_info(E.complement, "Complement byte " .. hex(b) .. " after " ..
    hex(of) .. " should be " .. hex(complement(of)))
end

-- The complement at Pos of the byte Of.
function Packet:check_complement(tree, pos, of)
  local b = self:byte(pos)
  if b == nil then
    return
  end
  local item = tree:add(F.complement, self:range(pos), b)
  if b == complement(of) then
    item:append_text(" (of " .. hex(of) .. ", correct)")
  else
    item:append_text(" (wrong: the complement of " .. hex(of) .. " is " ..
      hex(complement(of)) .. ")")
    self:complement_wrong(item, pos, b, of)
  end
end

function Packet:flag_digits(item, pos, b)
  if high(b) > 9 or low(b) > 9 then
    item:add(F.bcd_invalid, self:range(pos), true):set_generated()
    item:add_proto_expert_info(E.bcd, "Byte " .. hex(b) ..
      " holds a digit that is not decimal; the driver reads it as " .. (high(b) * 10 + low(b)))
  end
end

-- A value of Count packed BCD bytes from Pos, one after the other (commands).
function Packet:value_run(tree, field, pos, count, label, unit)
  if not self:has(pos, count) then
    return
  end
  local bytes = {}
  for i = 0, count - 1 do
    bytes[#bytes + 1] = self:byte(pos + i)
  end
  local h = bcd(bytes)
  local value = h / V.wire_scale
  local item = tree:add(field, self:range(pos, count), value, label .. ": " .. decimal(h) .. unit)
  for i = 0, count - 1 do
    local b = bytes[i + 1]
    local child = item:add(self:range(pos + i), string.format("0x%02X: digits %X%X", b,
      high(b), low(b)))
    self:flag_digits(child, pos + i, b)
  end
  return h
end

-- A value of Count packed BCD bytes at every second position from Pos, each followed
-- by its complement (replies).
function Packet:value_every_second(tree, field, pos, count, label, unit, note)
  if not self:has(pos, 2 * count) then
    return
  end
  local bytes = {}
  for i = 0, count - 1 do
    bytes[#bytes + 1] = self:byte(pos + 2 * i)
  end
  local h = bcd(bytes)
  local item = tree:add(field, self:range(pos, 2 * count), h / V.wire_scale,
    label .. ": " .. decimal(h) .. unit .. (note or ""))
  for i = 0, count - 1 do
    local at, b = pos + 2 * i, bytes[i + 1]
    local c = self:byte(at + 1)
    local child = item:add(self:range(at, 2), string.format("0x%02X 0x%02X: digits %X%X, %s",
      b, c, high(b), low(b), c == complement(b) and "complement correct" or
      ("complement wrong, should be " .. hex(complement(b)))))
    self:flag_digits(child, at, b)
    if c ~= complement(b) then
      self:complement_wrong(child, at + 1, c, b)
    end
  end
  return h
end

-- The lead byte of a frame: pump address and command number.
function Packet:lead(tree, pos)
  local lead = self:byte(pos)
  local item = tree:add(F.lead, self:range(pos), lead)
  local pump = item:add(F.pump, self:range(pos), math.floor(lead / 8))
  if is_totals(lead) then
    pump:append_text(" (a totals request carries no address: the pump last addressed answers)")
  end
  item:add(F.command, self:range(pos), lead % 8)
  return lead
end

-- Names of the shapes' operations in the Info column.
local function operation(shape)
  return shape and shape.operation or "unknown command"
end

-- "line 1 pump 3 ": whom a frame addresses, for the Info column. A totals request
-- addresses no pump.
local function who(line, lead)
  local text = line and ("line " .. line .. " ") or ""
  if lead == nil or is_totals(lead) then
    return text
  end
  return text .. "pump " .. math.floor(lead / 8) .. " "
end

-- The pump end of an exchange, for the address columns: "1:3" as de30ctl names
-- pumps, "1:3?" for the pump last addressed before a totals request.
local function pump_end(line, lead, last)
  local text = line and tostring(line) or "?"
  if lead == nil then
    return text
  end
  if is_totals(lead) then
    return last and (text .. ":" .. last .. "?") or text
  end
  return text .. ":" .. math.floor(lead / 8)
end

-- The frame the driver sent: 0x00, then the command bytes.
local function dissect_frame(p, tree, record, line)
  local len = p.tvb:len() - p.base
  if len == 0 then
    tree:add(p.tvb(0, 0), "No bytes: the frame was not sent")
    return who(line) .. "no frame"
  end
  local start = p:byte(0)
  local item = tree:add(F.frame_start, p:range(0), start)
  if start ~= V.frame_start then
    item:add_proto_expert_info(E.frame_start)
  end
  p.base = p.base + 1 -- command positions from here
  if not p:has(V.lead_at) then
    return who(line) .. "empty frame"
  end
  local lead = p:lead(tree, V.lead_at)
  local code = p:byte(V.code_at)
  local shape = find_shape(lead, code)
  local info = who(line, lead) .. operation(shape)
  if shape == nil then
    tree:add_proto_expert_info(E.unknown, "No command of the vocabulary starts with " ..
      hex(lead) .. (code and (" " .. hex(code)) or ""))
    return info
  end
  tree:add(F.operation, p:range(V.lead_at), shape.operation):set_generated()
  tree:add(p:range(V.lead_at), "Command: " .. shape.name):set_generated()
  if len - 1 ~= shape.send then
    tree:add_proto_expert_info(E.length, string.format(
      "%d command bytes; %s sends %d", len - 1, shape.name, shape.send))
  end
  if shape.code ~= nil then
    tree:add(F.code, p:range(V.code_at), code)
  elseif shape.send > V.code_at and p:has(V.code_at) then
    p:check_complement(tree, V.code_at, lead)
  end

  if is_totals(lead) then
    tree:add(F.totals_request, p:range(V.code_at), shape.totals_request):set_generated()
    tree:add(F.totals_groups, p:range(V.code_at), shape.groups):set_generated()
    local text = (shape.totals_request == 1 and "first" or "second") .. ", " ..
      shape.groups .. (shape.groups == 1 and " group" or " groups")
    if record.last_pump then
      tree:add(F.totals_pump, p:range(V.lead_at), record.last_pump):set_generated()
      text = text .. "; pump " .. record.last_pump .. " last addressed"
    end
    info = info .. " (" .. text .. ")"
  end

  local grades = V.price_grades[code]
  if shape.command == V.cmd.set and grades then
    local prices = {}
    for g = 1, grades do
      local h = p:value_run(tree, price_fields[g], V.price_at[g], V.price_bytes,
        "Price of grade " .. g, "")
      if h then
        tree:add(F.price, p:range(V.price_at[g], V.price_bytes), h / V.wire_scale):set_hidden()
        prices[#prices + 1] = decimal(h)
      end
    end
    info = info .. " " .. table.concat(prices, " ")
  elseif shape.command == V.cmd.set and code == V.code.dose then
    local h = p:value_run(tree, F.dose, V.dose_at, V.dose_bytes, "Dose", " l")
    if h then
      info = info .. " " .. decimal(h) .. " l"
    end
  elseif shape.command == V.cmd.set and code == V.code.unblock then
    local c = p:byte(V.unblock_code_at)
    if c then
      tree:add(F.unblock_code, p:range(V.unblock_code_at), c)
      p:check_complement(tree, V.unblock_code_at + 1, c)
      info = info .. " code " .. c
    end
  elseif shape.command == V.cmd.status_auth then
    info = info .. " (authorised)"
  end
  return info
end

-- The shape a reply answers when its frame is not in the capture: the one command
-- whose number its lead byte carries and whose reply is as long as expected.
local function guess_shape(lead, code, expected)
  local found
  for _, shape in ipairs(V.shapes) do
    if shape.command == lead % 8 and shape.reply == expected then
      if shape.code == nil or shape.code == code then
        return shape
      end
      found = found or shape
    end
  end
  return found
end

local function dissect_reply(p, tree, record, line, header)
  local request = record.pair
  local lead, code, shape, sent
  if request and request.bytes then
    sent = request.bytes
    lead, code = sent[1], sent[2]
    if lead then
      shape = find_shape(lead, code)
    end
  end
  local len = p.tvb:len() - p.base
  if shape == nil and len > 0 then
    shape = guess_shape(p:byte(0), p:byte(V.code_at), header.expected)
  end
  -- Without its frame, the reply's own first byte tells the pump.
  local addressed = lead or (len > 0 and p:byte(V.lead_at)) or nil
  local info = who(line, addressed) .. operation(shape) .. " →"
  if addressed then
    tree:add(F.pump, p.tvb(0, 0), math.floor(addressed / 8)):set_generated()
    tree:add(F.command, p.tvb(0, 0), addressed % 8):set_generated()
  end
  if shape then
    tree:add(F.operation, p.tvb(0, 0), shape.operation):set_generated()
  end
  tree:add(F.received, p.tvb(0, 0), len):set_generated()

  if header.outcome == OUTCOME_TIMEOUT or header.outcome == OUTCOME_CHANNEL_ERROR or
      len < header.expected then
    local text = V.channel_errors[header.result] or V.channel_error_other
    if header.outcome == OUTCOME_CHANNEL_ERROR then
      tree:add(F.channel_error, p.tvb(0, 0), true):set_generated()
      tree:add_proto_expert_info(E.channel, "Channel error " .. header.result .. ": " .. text)
      info = info .. " channel error " .. header.result .. ": " .. text
    elseif len == 0 then
      tree:add(F.timeout, p.tvb(0, 0), true):set_generated()
      tree:add_proto_expert_info(E.timeout, "No reply within the timeout (channel result " ..
        header.result .. ": " .. text .. ")")
      info = info .. " no reply (timeout)"
    else
      if header.outcome == OUTCOME_TIMEOUT then
        tree:add(F.timeout, p.tvb(0, 0), true):set_generated()
      end
      info = info .. string.format(" short reply, %d of %d bytes", len, header.expected)
    end
    if len > 0 and len < header.expected then
      tree:add(F.short, p.tvb(0, 0), true):set_generated()
      tree:add_proto_expert_info(E.short, string.format(
        "Short reply: %d of %d bytes; the driver read nothing from it", len, header.expected))
    end
    if len > 0 then
      tree:add(F.partial, p:range(0, len))
    end
    return info
  end

  -- The whole reply arrived.
  local rejected = header.outcome == OUTCOME_REJECTED
  local note = rejected and " [not read: rejected]" or ""
  local echo = p:byte(V.lead_at)
  local item = tree:add(F.echo, p:range(V.lead_at), echo)
  if lead then
    if echo == lead then
      item:append_text(" (the lead byte sent)")
    else
      item:append_text(" (the lead byte sent was " .. hex(lead) .. ")")
    end
  end
  if rejected then
    tree:add(F.rejected, p:range(V.lead_at), true):set_generated()
    tree:add_proto_expert_info(E.rejected, "Reply rejected by the reply check" ..
      (lead and (": its first byte " .. hex(echo) .. " is not the lead byte " .. hex(lead)) or "") ..
      "; the driver read nothing from it")
  end
  if shape == nil then
    return info .. " ?" .. (rejected and " (rejected)" or "")
  end
  if len ~= shape.reply then
    tree:add_proto_expert_info(E.length, string.format("%d reply bytes; %s has %d",
      len, shape.name, shape.reply))
    if len < shape.reply then -- too short for the fields
      return info .. " ?" .. (rejected and " (rejected)" or "")
    end
  end

  local command = shape.command
  local what
  if command == V.cmd.status or command == V.cmd.status_auth or command == V.cmd.reinit then
    local s = p:byte(V.status_byte_at)
    local sitem = tree:add(F.status, p:range(V.status_byte_at), s)
    sitem:append_text(" (" .. status_name(s) .. ")" .. note)
    sitem:add(F.status_name, p:range(V.status_byte_at), status_name(s)):set_generated()
    -- Flags, present only when set, so that a filter names them alone.
    local active = bit32.band(s, V.status_active_bit) ~= 0
    local error = bit32.band(s, V.status_error_bits) == V.status_error_bits
    if active then
      sitem:add(F.status_active, p:range(V.status_byte_at), true):set_generated()
    end
    if error then
      sitem:add(F.status_error, p:range(V.status_byte_at), true):set_generated()
    end
    if V.reinit_statuses[s] then
      sitem:add(F.status_reinit, p:range(V.status_byte_at), true):set_generated()
    end
    p:check_complement(tree, V.status_byte_at + 1, s)
    what = status_name(s)
    if V.status_names[s] == nil or V.reinit_statuses[s] or error then
      what = what .. " " .. hex(s) -- a name several bytes share
    end
  elseif command == V.cmd.nozzles then
    local names, checked, same = {}, {}, nil
    for k, place in ipairs(V.nozzles) do
      local b = p:byte(place.at)
      local n = math.floor(b / 2 ^ place.shift) % 16
      local nitem = tree:add(nozzle_fields[k], p:range(place.at), n)
      nitem:set_text(string.format("Nozzle %d: %X (%s)%s", k, n, nibble_name(n), note))
      names[#names + 1] = k .. " " .. nibble_name(n)
      same = (k == 1 or same == nibble_name(n)) and nibble_name(n) or false
      if not checked[place.at] then
        checked[place.at] = true
        p:check_complement(tree, place.at + 1, b)
      end
    end
    what = same and ("all nozzles " .. same) or table.concat(names, ", ")
  elseif is_totals(lead or echo) and shape.totals_request then
    local groups = V.totals_groups_of[len]
    if groups then
      local h
      for g = 1, groups do
        local last = g == groups
        h = p:value_every_second(tree, group_fields[g], V.totals_at[g], V.total_value_bytes,
          "Total of group " .. g, "", (last and " (the one the driver reads)" or "") .. note)
      end
      tree:add(F.total, p:range(V.totals_at[groups], 2 * V.total_value_bytes),
        h / V.wire_scale):set_generated()
      local at = V.totals_nozzles_at[groups]
      local n = p:byte(at)
      tree:add(F.totals_nozzles, p:range(at), n)
      p:check_complement(tree, at + 1, n)
      what = decimal(h)
    else
      what = "?"
    end
  elseif command == V.cmd.read then
    tree:add(F.code, p:range(V.code_at), p:byte(V.code_at))
    local amount = p:value_every_second(tree, F.fill_amount, V.fill_amount_at,
      V.fill_value_bytes, "Fill amount", "", note)
    local volume = p:value_every_second(tree, F.fill_volume, V.fill_volume_at,
      V.fill_value_bytes, "Fill volume", " l", note)
    local n = p:byte(V.fill_nozzle_at)
    tree:add(F.fill_nozzle, p:range(V.fill_nozzle_at), n)
    p:check_complement(tree, V.fill_nozzle_at + 1, n)
    what = decimal(volume) .. " l " .. decimal(amount) .. ", nozzle " .. n
  elseif command == V.cmd.set then
    local eitem = tree:add(F.echoed, p:range(0, len))
    local same = sent ~= nil and #sent == len
    if same then
      for i = 1, len do
        same = same and sent[i] == p:byte(i - 1)
      end
    end
    if sent and not same then
      eitem:add(F.echo_differs, p:range(0, len), true):set_generated()
      eitem:add_proto_expert_info(E.echo)
      what = "echoed, with differences"
    else
      what = "echoed"
    end
  else
    what = "acknowledged"
  end
  return info .. " " .. what .. (rejected and " (rejected)" or "")
end

-- ---- The dissector ------------------------------------------------------------------

local DIRECTION_FRAME, DIRECTION_REPLY = 1, 2

function de30.dissector(tvb, pinfo, root)
  pinfo.cols.protocol = "DE30"
  local tree = root:add(de30, tvb())
  if tvb:len() < HEADER_BYTES then
    tree:add_proto_expert_info(E.version, "Shorter than the capture header")
    return
  end
  local header = {
    version = tvb(0, 1):uint(),
    outcome = tvb(1, 1):uint(),
    result = tvb(2, 1):uint(),
    expected = tvb(3, 1):uint(),
    exchange = tvb(4, 4):le_uint(),
  }
  local htree = tree:add(tvb(0, HEADER_BYTES), "Capture header")
  htree:add(F.version, tvb(0, 1))
  if header.version ~= HEADER_VERSION then
    htree:add_proto_expert_info(E.version, "Capture header version " .. header.version ..
      "; this dissector reads version " .. HEADER_VERSION)
    return
  end
  htree:add(F.outcome, tvb(1, 1))
  local loose = header.outcome == V.loose_outcome and header.exchange == 0
  if not loose then
    htree:add(F.channel_result, tvb(2, 1))
    htree:add(F.expected_length, tvb(3, 1))
  end
  htree:add_le(F.exchange, tvb(4, 4))

  local interface = f_interface_id() and f_interface_id().value or 0
  local name = f_interface_name() and f_interface_name().value
  local line = name and tonumber(string.match(name, "^line (%d+)$"))
  if line then
    tree:add(F.line, tvb(0, 0), line):set_generated()
  end
  local reception = f_reception() and f_reception().value
  if reception == RECEPTION_HEARD then
    tree:add(F.listened, tvb(0, 0), true):set_generated()
  end
  if loose then
    local kind = V.loose_kinds[header.result] or V.loose_kinds[1]
    tree:add(F.loose_kind, tvb(2, 1))
    local bytes = tvb:len() - HEADER_BYTES
    if bytes > 0 then
      tree:add(F.loose, tvb(HEADER_BYTES, bytes))
    end
    tree:add_proto_expert_info(E.loose, "Heard in no exchange: " .. kind)
    local info = (line and ("line " .. line .. " ") or "") .. "heard in no exchange: " .. kind ..
      ", " .. bytes .. (bytes == 1 and " byte" or " bytes")
    pinfo.cols.info = info
    tree:append_text(", " .. info)
    pinfo.cols.src = (line and tostring(line) or "?") .. ":?"
    pinfo.cols.dst = "host"
    return
  end
  local key = interface .. ":" .. header.exchange

  -- Learnt once per packet, in file order: Wireshark dissects every packet in order
  -- first; tshark too, given -2 and a read filter (-R de30), else in one pass.
  if packets[pinfo.number] == nil then
    local flags = f_direction() and f_direction().value
    local direction
    if flags == 2 then
      direction = DIRECTION_FRAME
    elseif flags == 1 then
      direction = DIRECTION_REPLY
    else -- no direction flags: the first packet of an exchange is its frame
      direction = waiting[key] and DIRECTION_REPLY or DIRECTION_FRAME
    end
    local record = { direction = direction, time = f_time().value, number = pinfo.number }
    if direction == DIRECTION_FRAME then
      record.bytes = {}
      for off = HEADER_BYTES + 1, tvb:len() - 1 do
        record.bytes[#record.bytes + 1] = tvb(off, 1):uint()
      end
      local lead = record.bytes[1]
      if lead and is_totals(lead) then
        record.last_pump = last_pump[interface]
      elseif lead then
        last_pump[interface] = math.floor(lead / 8)
      end
      waiting[key] = record
    else
      local request = waiting[key]
      if request then
        waiting[key] = nil
        record.pair = request
        request.pair = record
      end
    end
    packets[pinfo.number] = record
  end
  local record = packets[pinfo.number]
  tree:add(F.direction, tvb(0, 0), record.direction):set_generated()
  local p = setmetatable({ tvb = tvb, base = HEADER_BYTES }, Packet)

  local info
  if record.direction == DIRECTION_FRAME then
    if record.pair then
      tree:add(F.response_in, tvb(0, 0), record.pair.number):set_generated()
    elseif pinfo.visited then
      tree:add_proto_expert_info(E.unpaired, "The reply of this frame is not in the capture")
    end
    info = dissect_frame(p, tree, record, line)
    if header.outcome == OUTCOME_REJECTED then
      info = info .. " [rejected]"
    elseif header.outcome == OUTCOME_TIMEOUT then
      info = info .. " [timeout]"
    elseif header.outcome == OUTCOME_CHANNEL_ERROR then
      info = info .. " [channel error " .. header.result .. "]"
    end
  else
    if record.pair then
      tree:add(F.request_in, tvb(0, 0), record.pair.number):set_generated()
      tree:add(F.time, tvb(0, 0), record.time - record.pair.time):set_generated()
    else
      tree:add_proto_expert_info(E.unpaired, "The frame of this reply is not in the capture")
    end
    info = dissect_reply(p, tree, record, line, header)
  end
  pinfo.cols.info = info
  tree:append_text(", " .. info)
  local frame = record.direction == DIRECTION_FRAME and record or record.pair
  local lead = frame and frame.bytes[1]
  if lead == nil and record.direction == DIRECTION_REPLY and tvb:len() > HEADER_BYTES then
    lead = tvb(HEADER_BYTES, 1):uint()
  end
  local far = pump_end(line, lead, frame and frame.last_pump)
  pinfo.cols.src = record.direction == DIRECTION_FRAME and "host" or far
  pinfo.cols.dst = record.direction == DIRECTION_FRAME and far or "host"
end

DissectorTable.get("wtap_encap"):add(wtap_encaps.USER0, de30)
