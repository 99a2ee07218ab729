-- One attached buffer as the monitor mirrors it: the file's text as the editor holds it, with the
-- buffer's line end ('fileformat') between lines, in UTF-8, without a byte order mark.
--
-- The buffer's own byte positions (those of on_bytes) count every line as followed by one "\n",
-- the last line included. The file on disk ends with a line end only when 'eol' or 'fixeol' says
-- so; `tail` tells whether the monitor's copy holds that last line end, and changes reaching it
-- are cut to the copy. At a save the copy is given or relieved of it as the write did.

local M = {}
M.__index = M

local api = vim.api

local LINE_ENDS = { unix = '\n', dos = '\r\n', mac = '\r' }

-- The editor's encoding ids, as the monitor expects them.
local ENCODINGS = {
  ['utf-8'] = 'utf8',
  latin1 = 'iso88591',
  ['iso-8859-1'] = 'iso88591',
  cp1252 = 'windows1252',
  ['utf-16le'] = 'utf16le',
  ['utf-16'] = 'utf16be',
  ['ucs-2le'] = 'utf16le',
  ['ucs-2'] = 'utf16be',
}

local function encoding_id(buf)
  local fenc = vim.bo[buf].fileencoding
  if fenc == '' then
    fenc = vim.o.encoding
  end
  local id = ENCODINGS[fenc] or fenc:gsub('[-_]', ''):gsub('^cp(%d+)$', 'windows%1')
  if id == 'utf8' and vim.bo[buf].bomb then
    id = 'utf8bom'
  end
  return id
end

-- Whether a write of the buffer gives an empty file: a buffer with no lines at all ("--No lines
-- in buffer--") looks like one with a single empty line, except to the count of written bytes.
local function is_empty(buf)
  -- The offset of the second line is the first line's length plus its line end.
  if api.nvim_buf_line_count(buf) ~= 1 or api.nvim_buf_get_offset(buf, 1) > 1 then
    return false
  end
  return api.nvim_buf_call(buf, function()
    return vim.fn.wordcount().bytes == 0
  end)
end

-- Whether a write of the buffer ends the file with a line end.
local function writes_last_line_end(buf)
  local option = api.nvim_buf_get_option
  if not (option(buf, 'eol') or (option(buf, 'fixeol') and not option(buf, 'binary'))) then
    return false
  end
  return not is_empty(buf)
end

-- The buffer's size in its own positions.
local function buffer_size(buf)
  return api.nvim_buf_call(buf, function()
    local size = vim.fn.line2byte(vim.fn.line('$') + 1)
    return size == -1 and 1 or size - 1
  end)
end

-- The text from (row, col) spanning `rows` line ends and `cols` bytes on the last row, in buffer
-- positions. The span may end after the last line's implied line end.
local function read_span(buf, row, col, rows, cols)
  if row + rows < api.nvim_buf_line_count(buf) then
    return table.concat(api.nvim_buf_get_text(buf, row, col, row + rows, rows == 0 and col + cols or cols, {}), '\n')
  end
  local lines = api.nvim_buf_get_lines(buf, row, row + rows + 1, false)
  if rows == 0 then
    return (lines[1] or ''):sub(col + 1, col + cols)
  end
  local parts = { (lines[1] or ''):sub(col + 1) }
  for i = 2, rows do
    parts[#parts + 1] = lines[i] or ''
  end
  parts[#parts + 1] = (lines[rows + 1] or ''):sub(1, cols)
  return table.concat(parts, '\n')
end

function M.new(buf, file)
  local self = setmetatable({ buf = buf, file = file }, M)
  self:reset()
  return self
end

-- Takes the buffer as it is now as the monitor's starting point.
function M:reset()
  local buf = self.buf
  self.eol = LINE_ENDS[vim.bo[buf].fileformat] or '\n'
  self.size = buffer_size(buf)
  self.tail = not is_empty(buf) and vim.bo[buf].eol
  self.writes_tail = writes_last_line_end(buf)
  self.undo_seen = api.nvim_buf_call(buf, function()
    return vim.fn.undotree().seq_last
  end)
  self.out_of_step = false
end

-- The whole text as the monitor's copy holds it, with or without the last line end.
function M:text(with_tail)
  local lines = api.nvim_buf_get_lines(self.buf, 0, -1, false)
  local text = table.concat(lines, self.eol)
  if with_tail then
    text = text .. self.eol
  end
  return text
end

function M:describe(with_tail)
  local text = self:text(with_tail)
  return text,
    {
      length = #text,
      sha256 = vim.fn.sha256(text),
      encoding = encoding_id(self.buf),
      eol = self.eol,
      bom = vim.bo[self.buf].bomb,
    }
end

-- Whether the change being reported comes from undo or redo. Undo and redo report their changes
-- while the undo state still shows the step they leave; a new change has made itself the newest
-- step by then, and keeps the undo tree unsynced until it ends.
function M:is_undo_redo()
  if api.nvim_get_current_buf() ~= self.buf then
    return api.nvim_buf_call(self.buf, function()
      return self:undo_state()
    end)
  end
  return self:undo_state()
end

function M:undo_state()
  local mode = api.nvim_get_mode().mode
  if mode:sub(1, 1) == 'i' or mode:sub(1, 1) == 'R' then
    return false
  end
  local number = vim.fn.changenr()
  if number > self.undo_seen then
    self.undo_seen = number
    return false
  end
  if number < self.undo_seen then
    return true
  end
  -- The undo tree is built whole on every call: one look serves all changes of one command.
  if self.verdict_number == number and self.verdict_round == M.round then
    return self.verdict
  end
  self.verdict = vim.fn.undotree().synced == 1
  self.verdict_number = number
  self.verdict_round = M.round
  vim.schedule(M.next_round)
  return self.verdict
end

-- Commands are told apart by rounds: a new one starts with each key and each turn of the event
-- loop, so a verdict never outlives the command it was made for.
M.round = 0

function M.next_round()
  M.round = M.round + 1
end

-- The change on_bytes reported, in the monitor's units: offset, deleted count and inserted text
-- of the monitor's copy. Nil when the change cannot be expressed (the copy is then out of step).
function M:change(start_row, start_col, offset, old_rows, old_len, new_rows, new_cols, new_len)
  local old_size = self.size
  self.size = old_size - old_len + new_len
  local inserted = read_span(self.buf, start_row, start_col, new_rows, new_cols)
  if #inserted ~= new_len then
    return nil
  end
  local deleted = old_len
  if not self.tail and offset + old_len == old_size then
    -- The change reaches the implied last line end, which the copy lacks; the new text ends
    -- with that line end again.
    if inserted:sub(-1) ~= '\n' then
      return nil
    end
    if old_len > 0 then
      inserted = inserted:sub(1, -2)
      deleted = deleted - 1
      old_rows = old_rows - 1
    else
      -- Lines added after the last one: in the copy they follow a new line end.
      inserted = '\n' .. inserted:sub(1, -2)
      offset = offset - 1
      start_row = start_row - 1
    end
  end
  local extra = #self.eol - 1
  if extra > 0 then
    offset = offset + start_row * extra
    deleted = deleted + old_rows * extra
  end
  if self.eol ~= '\n' then
    inserted = inserted:gsub('\n', self.eol)
  end
  return offset, deleted, inserted
end

-- Whether the last change may have changed what a write does at the end: when the copy and
-- the write disagree already (a file without a last line end, with 'fixeol'), or when the buffer
-- may have become empty or stopped being so.
function M:may_change_last_line_end()
  return self.tail ~= self.writes_tail or api.nvim_buf_line_count(self.buf) == 1
end

-- The change that gives the copy the last line end a write just put on disk, or takes it away:
-- offset, deleted count, inserted text; nil when the copy already agrees.
function M:last_line_end_change()
  local wants = writes_last_line_end(self.buf)
  self.writes_tail = wants
  if wants == self.tail then
    return nil
  end
  local lines = api.nvim_buf_line_count(self.buf)
  local full = self.size + lines * (#self.eol - 1)
  self.tail = wants
  if wants then
    return full - #self.eol, 0, self.eol
  end
  return full - #self.eol, #self.eol, ''
end

return M
