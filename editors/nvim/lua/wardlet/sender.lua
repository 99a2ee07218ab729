-- The connection to the monitor: a bounded queue of message lines written by libuv in the
-- background, so that no editing command ever waits for the monitor. Without a monitor it retries,
-- first after 250 ms, doubling the pause up to 10 s.
--
-- Every libuv callback here runs in the event loop's fast context: it touches only this module's
-- own tables and libuv handles, never the editor's API.

local uv = vim.loop

local M = {}

local FIRST_PAUSE_MS = 250
local LONGEST_PAUSE_MS = 10000
-- Lines written in one go at most, so that a long backlog leaves in pieces.
local BATCH = 512

local state = {
  socket = '/tmp/wardlet.sock',
  capacity = 10000,
  queue = {}, -- lines not yet handed to the socket, with their files
  files = {},
  head = 1,
  tail = 0,
  writing = 0, -- lines handed to the socket and not yet confirmed
  dropped = 0,
  queued = 0, -- lines accepted since the start
  pipe = nil,
  connected = false,
  connecting = false,
  pause = FIRST_PAUSE_MS,
  timer = nil,
  refused = nil, -- why the last attempt failed
  lost_files = {}, -- files whose messages were lost in a broken write
}

state.flush_timer = uv.new_timer()

local function waiting()
  return state.tail - state.head + 1
end

local connect

local function close_pipe()
  if state.pipe then
    local pipe = state.pipe
    state.pipe = nil
    if not pipe:is_closing() then
      pipe:close()
    end
  end
  state.connected = false
  state.connecting = false
end

local function retry_later()
  if state.timer == nil then
    state.timer = uv.new_timer()
  end
  local pause = state.pause
  state.pause = math.min(state.pause * 2, LONGEST_PAUSE_MS)
  state.timer:stop()
  state.timer:start(pause, 0, function()
    connect()
  end)
end

local function flush()
  if not state.connected or state.writing > 0 or waiting() == 0 then
    return
  end
  local last = math.min(state.tail, state.head + BATCH - 1)
  local lines, files = {}, {}
  for i = state.head, last do
    lines[#lines + 1] = state.queue[i]
    files[state.files[i]] = true
    state.queue[i] = nil
    state.files[i] = nil
  end
  state.head = last + 1
  state.writing = #lines
  local pipe = state.pipe
  pipe:write(table.concat(lines), function(err)
    local count = state.writing
    state.writing = 0
    if err then
      -- How much of the batch arrived is unknown: resending could repeat a change, so the
      -- batch counts as dropped and its files are brought back in step at their next save.
      state.dropped = state.dropped + count
      for file in pairs(files) do
        state.lost_files[file] = true
      end
      state.refused = 'write failed: ' .. tostring(err)
      if state.pipe == pipe then
        close_pipe()
        retry_later()
      end
      return
    end
    flush()
  end)
end

-- The socket must be one this user owns: another user's socket at the same path could collect
-- everything typed.
local function owned_socket(path)
  local stat = uv.fs_lstat(path)
  if not stat then
    return false, 'no socket at ' .. path
  end
  if stat.type ~= 'socket' then
    return false, path .. ' is not a socket'
  end
  if stat.uid ~= uv.getuid() then
    return false, path .. ' belongs to another user'
  end
  return true
end

connect = function()
  if state.connected or state.connecting then
    return
  end
  local ok, why = owned_socket(state.socket)
  if not ok then
    state.refused = why
    retry_later()
    return
  end
  local pipe = uv.new_pipe(false)
  state.pipe = pipe
  state.connecting = true
  pipe:connect(state.socket, function(err)
    if state.pipe ~= pipe then
      return
    end
    state.connecting = false
    if err then
      state.refused = 'connect failed: ' .. tostring(err)
      close_pipe()
      retry_later()
      return
    end
    state.connected = true
    state.refused = nil
    state.pause = FIRST_PAUSE_MS
    -- The monitor never writes; the end of the stream is how a stopped monitor shows.
    pipe:read_start(function(read_err, data)
      if data == nil or read_err then
        if state.pipe == pipe then
          state.refused = 'monitor closed the connection'
          close_pipe()
          retry_later()
        end
      end
    end)
    flush()
  end)
end

-- Options: socket (path), capacity (lines). A new socket path starts a fresh connection.
function M.configure(options)
  if options.capacity then
    state.capacity = options.capacity
  end
  if options.socket and options.socket ~= state.socket then
    state.socket = options.socket
    close_pipe()
    state.pause = FIRST_PAUSE_MS
  end
  connect()
end

-- Queues one line for `file`; false when the queue is full and the line was dropped.
function M.send(line, file)
  if waiting() >= state.capacity then
    state.dropped = state.dropped + 1
    return false
  end
  state.queued = state.queued + 1
  state.tail = state.tail + 1
  state.queue[state.tail] = line
  state.files[state.tail] = file
  if state.connected then
    -- Written once the editor's command is done, together with the rest of its messages.
    if not state.flush_timer:is_active() then
      state.flush_timer:start(0, 0, flush)
    end
  elseif not state.connecting and (state.timer == nil or not state.timer:is_active()) then
    connect()
  end
  return true
end

function M.room(count)
  return waiting() + count <= state.capacity
end

-- Files whose lines were lost in a failed write since the last call.
function M.take_lost_files()
  local lost = state.lost_files
  state.lost_files = {}
  return lost
end

function M.status()
  return {
    socket = state.socket,
    connected = state.connected,
    waiting = waiting() + state.writing,
    dropped = state.dropped,
    queued = state.queued,
    reason = state.refused,
  }
end

function M.count_dropped(count)
  state.dropped = state.dropped + count
end

-- Runs the event loop until every queued line is written or `timeout_ms` passed; for moments
-- where a short wait is worth it (leaving the editor).
function M.drain(timeout_ms)
  if not state.connected then
    return waiting() + state.writing == 0
  end
  return vim.wait(timeout_ms, function()
    return waiting() + state.writing == 0 or not state.connected
  end, 5) and waiting() + state.writing == 0
end

return M
