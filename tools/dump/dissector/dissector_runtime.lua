-- The dissector's hand-written part: it reads the layout tables above.
--
-- Every integer of the protocol is little-endian (the library runs its links
-- so), raw fields and texts are copied bytes; a "verbatim32" number travels
-- in the sender's memory order, little-endian on the senders this protocol
-- has. Texts are 8-bit and end at the first NUL within their field.

local proto = Proto("kelvane", "Kelvane diskless server protocol")

local PT_TCP = 2  -- pinfo.port_type of a TCP payload

-- Head fields and the fields every packet may get.
local TYPE_NAMES = {}
for code, p in pairs(K.PACKETS) do
  TYPE_NAMES[code] = p.role and (p.class .. " (" .. p.role .. ")") or p.class
end
local hf = {
  reserved0 = ProtoField.uint32("kelvane.reserved0", "Reserved0", base.HEX),
  type = ProtoField.uint32("kelvane.type", "Type", base.HEX, TYPE_NAMES),
  length = ProtoField.uint32("kelvane.length", "Length", base.DEC),
  reserved3 = ProtoField.uint32("kelvane.reserved3", "Reserved3", base.HEX),
  errcode = ProtoField.uint32("kelvane.errcode", "ErrCode", base.DEC),
  reserved5 = ProtoField.uint32("kelvane.reserved5", "Reserved5", base.HEX),
  class = ProtoField.string("kelvane.class", "Class"),
  role = ProtoField.string("kelvane.name", "Packet"),
  data = ProtoField.bytes("kelvane.data", "Data"),
  surplus = ProtoField.bytes("kelvane.surplus", "Bytes after the fields"),
}
local HEAD = { "reserved0", "type", "length", "reserved3", "errcode", "reserved5" }

local ef = {
  length = ProtoExpert.new("kelvane.length.mismatch", "Length disagrees with the bytes",
                           expert.group.MALFORMED, expert.severity.WARN),
  short = ProtoExpert.new("kelvane.short", "The bytes end inside a field",
                          expert.group.MALFORMED, expert.severity.ERROR),
  unknown = ProtoExpert.new("kelvane.unknown", "Unknown type code",
                            expert.group.UNDECODED, expert.severity.WARN),
  frame = ProtoExpert.new("kelvane.unframable", "Length cannot frame a packet",
                          expert.group.MALFORMED, expert.severity.ERROR),
}
proto.experts = { ef.length, ef.short, ef.unknown, ef.frame }

-- One ProtoField per owner and field name ("kelvane.CPImageBaseInfor.Name"),
-- made from the layouts; a name used with two kinds would be a generator fault.
local MAKERS = {
  u8 = function(a, n) return ProtoField.uint8(a, n, base.DEC) end,
  u16 = function(a, n) return ProtoField.uint16(a, n, base.DEC) end,
  u32 = function(a, n) return ProtoField.uint32(a, n, base.DEC) end,
  verbatim32 = function(a, n) return ProtoField.uint32(a, n, base.DEC) end,
  ipv4 = function(a, n) return ProtoField.ipv4(a, n) end,
  datetime = function(a, n) return ProtoField.string(a, n) end,
  text = function(a, n) return ProtoField.string(a, n) end,
  raw = function(a, n) return ProtoField.bytes(a, n) end,
  buffer = function(a, n) return ProtoField.uint32(a, n, base.DEC) end,  -- the count
  array = function(a, n) return ProtoField.uint32(a, n, base.DEC) end,   -- the count
  record = function(a, n) return ProtoField.none(a, n) end,
}
local made = {}
local function field_of(owner, f)
  local abbr = "kelvane." .. owner:gsub("[^%w_]", "_") .. "." .. f[2]
  local known = made[abbr]
  if known then
    assert(known.kind == f[1], abbr .. " is both " .. known.kind .. " and " .. f[1])
    return known.pf
  end
  local pf = MAKERS[f[1]](abbr, f[2])
  made[abbr] = { kind = f[1], pf = pf }
  return pf
end
local function bind(layout)
  for _, f in ipairs(layout.fields) do
    f.pf = field_of(layout.owner, f)
    if f[1] == "buffer" then f.bytes = field_of(layout.owner, { "raw", f[2] .. ".bytes" }) end
  end
end
for _, r in ipairs(K.RECORDS) do bind(r) end
for _, p in pairs(K.PACKETS) do bind(p) end
hf.record = ProtoField.none("kelvane.record", "Record")

local fields = {}
for _, f in pairs(hf) do fields[#fields + 1] = f end
for _, m in pairs(made) do fields[#fields + 1] = m.pf end
proto.fields = fields

local function text_of(range)
  return (range:string(ENC_ISO_8859_1):match("^[^\0]*"))
end

local function datetime_of(range)
  local v = {}
  for i = 0, 5 do v[i + 1] = range(2 * i, 2):le_uint() end
  return string.format("%04d-%02d-%02d %02d:%02d:%02d", v[1], v[2], v[3], v[4], v[5], v[6])
end

local FIXED_ADD = {
  u8 = "add_le", u16 = "add_le", u32 = "add_le", verbatim32 = "add_le", ipv4 = "add_le",
  raw = "add",
}

-- Adds the fields of `layout` found from `off` on, within `limit`. Returns
-- the offset after them, or nil and the name of the field that did not fit.
local dissect_fields

local function dissect_array(tvb, tree, off, limit, f)
  if limit - off < 4 then return nil, f[2] end
  local count = tvb(off, 4):le_uint()
  local rec = K.RECORDS[f[4]]
  -- Every record takes at least rec.min bytes: refuse a count the bytes cannot hold.
  if count * rec.min > limit - off - 4 then return nil, f[2] end
  local item = tree:add_le(f.pf, tvb(off, 4))
  item:append_text(" x " .. rec.owner)
  local start = off
  off = off + 4
  for i = 0, count - 1 do
    local sub = item:add(hf.record, tvb(off, math.max(rec.min, 1)))
    sub:set_text("[" .. i .. "] " .. rec.owner)
    local after, bad = dissect_fields(tvb, sub, off, limit, rec)
    if not after then return nil, bad end
    if after > off then sub:set_len(after - off) end
    off = after
  end
  item:set_len(off - start)
  return off
end

local function dissect_field(tvb, tree, off, limit, f)
  local kind, size = f[1], f[3]
  if kind == "array" then return dissect_array(tvb, tree, off, limit, f) end
  if kind == "record" then
    local rec = K.RECORDS[f[4]]
    if limit - off < rec.min then return nil, f[2] end
    local sub = tree:add(f.pf, tvb(off, math.max(rec.min, 1)))
    sub:append_text(": " .. rec.owner)
    local after, bad = dissect_fields(tvb, sub, off, limit, rec)
    if after and after > off then sub:set_len(after - off) end
    return after, bad
  end
  if kind == "buffer" then
    if limit - off < 4 or limit - off - 4 < tvb(off, 4):le_uint() then return nil, f[2] end
    local n = tvb(off, 4):le_uint()
    local item = tree:add_le(f.pf, tvb(off, 4))
    item:append_text(" bytes")
    if n > 0 then item:add(f.bytes, tvb(off + 4, n)) end
    return off + 4 + n
  end
  if limit - off < size then return nil, f[2] end
  local range = tvb(off, size)
  if kind == "text" then
    tree:add(f.pf, range, text_of(range))
  elseif kind == "datetime" then
    tree:add(f.pf, range, datetime_of(range))
  else
    tree[FIXED_ADD[kind]](tree, f.pf, range)
  end
  return off + size
end

dissect_fields = function(tvb, tree, off, limit, layout)
  for _, f in ipairs(layout.fields) do
    local after, bad = dissect_field(tvb, tree, off, limit, f)
    if not after then return nil, bad end
    off = after
  end
  return off
end

-- A discovery reply announces the TCP port of the tool service: streams on
-- that port are claimed from then on (once they show a plausible head).
local learned = {}
local function learn_port(tvb, pinfo, off, length)
  if pinfo.visited or length < K.HEAD_SIZE + 8 or tvb(off + K.HEAD_SIZE, 4):le_uint() == 0 then
    return
  end
  local port = tvb(off + K.HEAD_SIZE + 4, 2):le_uint()
  if port ~= 0 then learned[port] = true end
end

-- One packet of `len` bytes at `off`. `datagram`: the bytes are a whole UDP
-- payload (whose size Length should match); otherwise Length framed them.
local function dissect_packet(tvb, pinfo, tree, off, len, datagram)
  local item = tree:add(proto, tvb(off, len))
  local head = {}
  for i, name in ipairs(HEAD) do
    item:add_le(hf[name], tvb(off + 4 * (i - 1), 4))
    head[name] = tvb(off + 4 * (i - 1), 4):le_uint()
  end
  local p = K.PACKETS[head.type]
  local summary
  if not p then
    summary = string.format("unknown type 0x%08X", head.type)
    item:add_proto_expert_info(ef.unknown, summary)
  else
    item:add(hf.class, p.class):set_generated()
    if p.role then item:add(hf.role, p.role):set_generated() end
    summary = p.role and (p.role .. " (" .. p.class .. ")") or p.class
    item:append_text(", " .. summary)
    local after, bad = dissect_fields(tvb, item, off + K.HEAD_SIZE, off + len, p)
    if not after then
      item:add_proto_expert_info(ef.short, "The bytes end inside field " .. bad)
    elseif after < off + len then
      item:add(p.data and hf.data or hf.surplus, tvb(after, off + len - after))
      if not p.data and not datagram then
        item:add_proto_expert_info(ef.length, string.format(
          "Length %d, but the fields end after %d bytes", head.length, after - off))
      end
    end
    if after and head.type == K.DISCOVER_REPLY then learn_port(tvb, pinfo, off, len) end
  end
  if datagram and head.length ~= len then
    item:add_proto_expert_info(ef.length, string.format(
      "Length %d, but the datagram holds %d bytes", head.length, len))
  end
  if head.errcode ~= 0 then summary = summary .. " ErrCode=" .. head.errcode end
  return summary
end

-- Packets one after another in a TCP stream, each as long as its Length;
-- asks TCP for more bytes when the last one is not whole yet. TCP passes a
-- heuristic dissector can_desegment 0 although it reassembles for it too:
-- `claimed` says the call comes from the heuristic.
local function dissect_stream(tvb, pinfo, tree, summaries, claimed)
  local off, n = 0, tvb:len()
  while off < n do
    local rest = n - off
    local length = rest >= K.HEAD_SIZE and tvb(off + 8, 4):le_uint() or nil
    if length and (length < K.HEAD_SIZE or length > K.MAX_LENGTH) then
      local item = tree:add(proto, tvb(off, rest))
      item:add_le(hf.length, tvb(off + 8, 4))
      item:add_proto_expert_info(ef.frame, string.format(
        "Length %d cannot frame a packet; the rest of this segment is not decoded", length))
      summaries[#summaries + 1] = "unframable Length " .. length
      return n
    end
    if not length or rest < length then
      if pinfo.can_desegment > 0 or claimed then
        pinfo.desegment_offset = off
        pinfo.desegment_len = length and (length - rest) or DESEGMENT_ONE_MORE_SEGMENT
        return n
      end
      summaries[#summaries + 1] = "continued in a later segment"
      return n
    end
    summaries[#summaries + 1] = dissect_packet(tvb, pinfo, tree, off, length, false)
    off = off + length
  end
  return n
end

-- TCP may call the dissector more than once for a frame (a reassembled
-- packet, then the rest): the Info column collects all the packets.
local info_frame = nil

local function dissect(tvb, pinfo, tree, claimed)
  local summaries = {}
  if pinfo.port_type == PT_TCP then
    dissect_stream(tvb, pinfo, tree, summaries, claimed)
  elseif tvb:len() < K.HEAD_SIZE then
    local item = tree:add(proto, tvb())
    item:add_proto_expert_info(ef.short, "Shorter than the 24-byte head")
    summaries[1] = "datagram shorter than a head"
  else
    summaries[1] = dissect_packet(tvb, pinfo, tree, 0, tvb:len(), true)
  end
  if #summaries > 0 then
    pinfo.cols.protocol = "KELVANE"
    local text = table.concat(summaries, "; ")
    if info_frame == pinfo.number then
      pinfo.cols.info:append("; " .. text)
    else
      pinfo.cols.info = text
    end
    info_frame = pinfo.number
  end
  return tvb:len()
end

function proto.dissector(tvb, pinfo, tree) return dissect(tvb, pinfo, tree, false) end

proto.prefs.tcp_port = Pref.uint("TCP port of the tool service", K.DEFAULT_TCP_PORT,
  "Streams on this port and on the ports that discovery replies announce are decoded once "
  .. "a segment starts with a plausible packet head (0 and none announced: on every port)")

local udp_table = DissectorTable.get("udp.port")
udp_table:add(K.DISCOVER_PORT, proto)
udp_table:add_for_decode_as(proto)
DissectorTable.get("tcp.port"):add_for_decode_as(proto)

-- Whether the segment's ports are the service's: the preference's and the
-- announced ones, or any port while there are none.
local function service_ports(pinfo)
  local pref = proto.prefs.tcp_port
  if pref == 0 and next(learned) == nil then return true end
  for _, port in ipairs({ pinfo.src_port, pinfo.dst_port }) do
    if port == pref or learned[port] then return true end
  end
  return false
end

-- A TCP stream is claimed, as kelvane-dump claims it, only where a segment
-- starts with a head of a known type whose Length can frame a packet: other
-- traffic on the port (HTTP on 8000) is left to its own dissectors.
local function heuristic(tvb, pinfo, tree)
  if tvb:len() < K.HEAD_SIZE or not service_ports(pinfo) then return false end
  local length = tvb(8, 4):le_uint()
  if not K.PACKETS[tvb(4, 4):le_uint()] or length < K.HEAD_SIZE or length > K.MAX_LENGTH then
    return false
  end
  pinfo.conversation = proto
  dissect(tvb, pinfo, tree, true)
  return true
end
proto:register_heuristic("tcp", heuristic)
