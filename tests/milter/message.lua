-- Sends one mail file to the milter as a mail server does and prints what
-- the milter answered, one "key=value" line each, for tests/milter_test.py.
-- Globals (miltertest -D): sock, mail, qid; cut=1 drops the connection
-- abruptly in the middle of the body instead of ending the message; pause:
-- seconds to wait before the end of the message, after printing "paused";
-- subject: the Subject value the milter is expected to set; verdict: the
-- value it is expected to give an X-Orvane-Spam field the mail had; reply_code,
-- reply_xcode, reply_text: the SMTP reply it is expected to ask for.
local replies = {
  [SMFIR_ACCEPT] = "accept", [SMFIR_CONTINUE] = "continue", [SMFIR_REJECT] = "reject",
  [SMFIR_TEMPFAIL] = "tempfail", [SMFIR_REPLYCODE] = "replycode",
  [SMFIR_DISCARD] = "discard",
}
local function reply(conn)
  return replies[mt.getreply(conn)] or tostring(mt.getreply(conn))
end
local function must(result, what)
  if result ~= nil then error(what .. ": " .. result) end
end

local f = assert(io.open(mail, "rb"))
local raw = f:read("*a")
f:close()
raw = raw:gsub("\r\n", "\n")
local head, body = raw:match("^(.-)\n\n(.*)$")
if head == nil then head, body = raw, "" end

local conn = mt.connect("unix:" .. sock, 40, 0.25)
if conn == nil then error("cannot connect to " .. sock) end
must(mt.conninfo(conn, "client.example", "192.0.2.1"), "conninfo")
must(mt.helo(conn, "client.example"), "helo")
must(mt.macro(conn, SMFIC_MAIL, "i", qid or "TESTQ"), "macro")
must(mt.mailfrom(conn, "sender@example.com"), "mailfrom")
must(mt.rcptto(conn, "rcpt@example.net"), "rcptto")

-- The header fields: the value after the colon with its folds, without its
-- leading blank, which miltertest puts back itself when the milter asked for
-- values as received (SMFIP_HDR_LEADSPC).
print("leadspc=" .. tostring(mt.test_option(conn, SMFIP_HDR_LEADSPC)))
local fields = {}
for line in (head .. "\n"):gmatch("(.-)\n") do
  if line:match("^[ \t]") and #fields > 0 then
    fields[#fields].value = fields[#fields].value .. "\r\n" .. line
  elseif line ~= "" then
    local name, value = line:match("^([^:]+):(.*)$")
    if name ~= nil then
      value = value:gsub("^ ", "")
      table.insert(fields, {name = name, value = value})
    end
  end
end
for _, field in ipairs(fields) do
  must(mt.header(conn, field.name, field.value), "header " .. field.name)
  if mt.getreply(conn) ~= SMFIR_CONTINUE then
    print("reply=" .. reply(conn))
    print("at=header")
    return
  end
end
must(mt.eoh(conn), "eoh")
-- A milter that takes header fields without a reply (SMFIP_NR_HDR) gives an
-- answer it decided at a field here.
if mt.getreply(conn) ~= SMFIR_CONTINUE then
  print("reply=" .. reply(conn))
  print("at=eoh")
  mt.disconnect(conn)
  return
end

body = body:gsub("\n", "\r\n")
if cut then
  must(mt.bodystring(conn, body:sub(1, #body // 2)), "body")
  mt.disconnect(conn, false)
  print("reply=cut")
  return
end
-- In chunks of 65,535 bytes, the most libmilter takes and what a mail server
-- sends; a milter may answer early (a message over its size limit).
for at = 1, #body, 65535 do
  must(mt.bodystring(conn, body:sub(at, at + 65534)), "body")
  if mt.getreply(conn) ~= SMFIR_CONTINUE then
    print("reply=" .. reply(conn))
    print("at=body")
    mt.disconnect(conn)
    return
  end
end
if pause then
  -- The test signals the milter now, with this message under way.
  print("paused")
  io.stdout:flush()
  mt.sleep(tonumber(pause))
end
must(mt.eom(conn), "eom")
print("reply=" .. reply(conn))
print("at=eom")
for _, name in ipairs({"X-Orvane-Spam", "X-Orvane-ASSL-Hit-Rules", "X-Orvane-SpamStamp",
                       "Subject"}) do
  local value = mt.getheader(conn, name, 0)
  if value ~= nil then print("add:" .. name .. "=" .. value:gsub("\r?\n", "\\n")) end
end
print("changed=" .. tostring(mt.eom_check(conn, MT_HDRCHANGE)))
if subject then
  print("subject_changed=" .. tostring(mt.eom_check(conn, MT_HDRCHANGE, "Subject", subject)))
end
if verdict then
  print("verdict_changed=" ..
        tostring(mt.eom_check(conn, MT_HDRCHANGE, "X-Orvane-Spam", verdict)))
end
print("quarantined=" .. tostring(mt.eom_check(conn, MT_QUARANTINE)))
if reply_code then
  print("reply_matches=" ..
        tostring(mt.eom_check(conn, MT_SMTPREPLY, reply_code, reply_xcode, reply_text)))
end
mt.disconnect(conn)
