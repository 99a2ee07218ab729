-- Wardlet's companion for Neovim: every change to a file of a monitored project (one below a
-- directory holding `.wardlet`) goes to the monitor as one JSON line, as its VS Code extension
-- sends them, marked with "editor": "VIM".

local sender = require('wardlet.sender')
local Document = require('wardlet.document')

local api = vim.api
local uv = vim.loop

local M = {}

local EDITOR = 'VIM'
local NO_POSITION = -1
local change_line

local documents = {} -- buffer number -> Document
local started = false

-- Paste state: a put mapping arms it for the keys it runs; the key after them disarms it.
local put_keys_left = 0
local putting = false
local pasting = 0

-- Whether a directory on the way up from `dir` holds `.wardlet`.
local function is_below_project(dir)
  local current = dir
  while current ~= nil and current ~= '' do
    local stat = uv.fs_stat(current .. '/.wardlet')
    if stat and stat.type == 'directory' then
      return true
    end
    local parent = vim.fn.fnamemodify(current, ':h')
    if parent == current then
      return false
    end
    current = parent
  end
  return false
end

local function message(file, kind, fields)
  local object = {
    file = file,
    type = kind,
    inserted = '',
    deletedCount = 0,
    offset = NO_POSITION,
    causedByUndoRedo = false,
    causedByCopyPaste = false,
    isSaved = false,
    editor = EDITOR,
  }
  for key, value in pairs(fields or {}) do
    object[key] = value
  end
  return vim.json.encode(object) .. '\n'
end

-- Queues a line for a document; a document whose lines were dropped sends nothing more until a
-- save brings the monitor back in step.
local function send(doc, line)
  if doc.out_of_step then
    sender.count_dropped(1)
    return
  end
  if not sender.send(line, doc.file) then
    doc.out_of_step = true
  end
end

-- A change message, built directly: it is sent for every keystroke.
local CHANGE = '{"file":%s,"type":"change","inserted":%s,"deletedCount":%d,"offset":%d,'
  .. '"causedByUndoRedo":%s,"causedByCopyPaste":%s,"isSaved":false,"editor":"' .. EDITOR .. '"}\n'
local encode = vim.json.encode
local file_texts = {} -- file -> its JSON text

change_line = function(file, at, deleted, inserted, undo_redo, paste)
  local file_text = file_texts[file]
  if file_text == nil then
    file_text = encode(file)
    file_texts[file] = file_text
  end
  return CHANGE:format(file_text, encode(inserted), deleted, at, tostring(undo_redo), tostring(paste))
end

local function send_whole_text(doc, kind, include_text)
  local text, facts = doc:describe(doc.tail)
  facts.textIncluded = include_text
  facts.inserted = include_text and text or ''
  return message(doc.file, kind, facts)
end

local function on_bytes(_, buf, _, start_row, start_col, offset, old_rows, _, old_len, new_rows, new_cols, new_len)
  local doc = documents[buf]
  if doc == nil then
    return true -- detaches
  end
  if old_len == 0 and new_len == 0 then
    return
  end
  local at, deleted, inserted =
    doc:change(start_row, start_col, offset, old_rows, old_len, new_rows, new_cols, new_len)
  if at == nil then
    doc.out_of_step = true
    return
  end
  local undo_redo = doc:is_undo_redo()
  local paste = not undo_redo and (putting or pasting > 0)
  send(doc, change_line(doc.file, at, deleted, inserted, undo_redo, paste))
  -- A change that makes the next write add or leave out the last line end (text typed into an
  -- empty file, a buffer emptied) tells the monitor at once, long before the write.
  if doc:may_change_last_line_end() then
    at, deleted, inserted = doc:last_line_end_change()
    if at ~= nil then
      send(doc, change_line(doc.file, at, deleted, inserted, undo_redo, paste))
    end
  end
end

local function file_of(buf)
  if vim.bo[buf].buftype ~= '' then
    return nil
  end
  local name = api.nvim_buf_get_name(buf)
  if name == '' or name:match('^%a[%w+.-]*://') then
    return nil
  end
  return vim.fn.fnamemodify(name, ':p')
end

-- Starts following a buffer, or follows it afresh after a reload or a new name.
local function attach(buf)
  if not api.nvim_buf_is_loaded(buf) then
    return
  end
  local file = file_of(buf)
  local doc = documents[buf]
  if file == nil or not is_below_project(vim.fn.fnamemodify(file, ':h')) then
    documents[buf] = nil
    return
  end
  if doc == nil then
    -- Saves overwrite the file in place: it keeps the inode the file map knows it by.
    vim.bo[buf].backupcopy = 'yes'
    doc = Document.new(buf, file)
    documents[buf] = doc
    api.nvim_buf_attach(buf, false, {
      on_bytes = on_bytes,
      on_detach = function()
        documents[buf] = nil
      end,
    })
  else
    doc.file = file
    doc:reset()
  end
  -- An unmodified buffer holds what its file holds, so the monitor reads it from disk itself.
  local modified = vim.bo[buf].modified
  local line = send_whole_text(doc, 'open', modified)
  if not sender.send(line, doc.file) then
    doc.out_of_step = true
  end
end

local function detach(buf)
  documents[buf] = nil
end

-- Whether a write of `buf` goes to the file the monitor knows it by (not ":w other" nor a range).
local function writes_own_file(doc, args)
  return args.file ~= '' and vim.fn.fnamemodify(args.file, ':p') == doc.file
end

-- Before the write: the monitor gets every change first, including the last line end the write
-- adds or leaves out when an option changed it since, so that the file it sees on disk is the
-- text it was told about.
local function before_write(args)
  local doc = documents[args.buf]
  if doc == nil or not writes_own_file(doc, args) then
    return
  end
  local at, deleted, inserted = doc:last_line_end_change()
  if at ~= nil then
    send(doc, change_line(doc.file, at, deleted, inserted, false, false))
  end
  -- Bounded: a monitor that cannot keep up delays a save at most this long.
  sender.drain(200)
end

local function after_write(args)
  local doc = documents[args.buf]
  if doc == nil or not writes_own_file(doc, args) then
    return
  end
  local lost = sender.take_lost_files()
  for _, d in pairs(documents) do
    if lost[d.file] then
      d.out_of_step = true
    end
  end
  if doc.out_of_step then
    -- The monitor missed changes: it gets the whole text before the save, when there is room.
    if not sender.room(2) then
      sender.count_dropped(1)
      return
    end
    doc.out_of_step = false
    sender.send(send_whole_text(doc, 'resync', true), doc.file)
  end
  local _, facts = doc:describe(doc.tail)
  facts.isSaved = true
  send(doc, message(doc.file, 'save', facts))
end

-- Puts run through these mappings so that their changes count as pastes.
local PUTS = { 'p', 'P', ']p', '[p', ']P', '[P', 'gp', 'gP' }

local function map_puts()
  for _, mode in ipairs({ 'n', 'x' }) do
    for _, lhs in ipairs(PUTS) do
      if vim.fn.maparg(lhs, mode) == '' then
        vim.keymap.set(mode, lhs, function()
          put_keys_left = #lhs
          return lhs
        end, { expr = true, desc = 'Wardlet: put, counted as a paste' })
      end
    end
  end
  -- Sees the keys after mappings: the put's own keys, then the next command's.
  vim.on_key(function()
    Document.next_round()
    if put_keys_left > 0 then
      put_keys_left = put_keys_left - 1
      putting = put_keys_left == 0
    else
      putting = false
    end
  end, api.nvim_create_namespace('wardlet_puts'))
  -- The terminal's bracketed paste and nvim_paste() arrive here.
  local paste = vim.paste
  vim.paste = function(...)
    pasting = pasting + 1
    local ok, result = pcall(paste, ...)
    pasting = pasting - 1
    if not ok then
      error(result, 0)
    end
    return result
  end
end

function M.status()
  return sender.status()
end

function M.status_text()
  local s = sender.status()
  local head = s.connected and ('connected to ' .. s.socket) or ('not connected to ' .. s.socket)
  local text = string.format('Wardlet: %s, %d waiting, %d dropped', head, s.waiting, s.dropped)
  if not s.connected and s.reason then
    text = text .. ' (' .. s.reason .. ')'
  end
  return text
end

-- Options: socket (the monitor's socket path; also vim.g.wardlet_socket), capacity (queued
-- messages at most). Calling it again changes them.
function M.setup(options)
  if options == nil and started then
    return
  end
  options = options or {}
  sender.configure({
    socket = options.socket or vim.g.wardlet_socket or '/tmp/wardlet.sock',
    capacity = options.capacity or vim.g.wardlet_capacity,
  })
  if started then
    return
  end
  started = true
  map_puts()
  local group = api.nvim_create_augroup('wardlet', { clear = true })
  api.nvim_create_autocmd({ 'BufReadPost', 'BufNewFile', 'BufFilePost' }, {
    group = group,
    callback = function(args)
      attach(args.buf)
    end,
  })
  api.nvim_create_autocmd('BufWritePre', { group = group, callback = before_write })
  api.nvim_create_autocmd('BufWritePost', { group = group, callback = after_write })
  api.nvim_create_autocmd({ 'BufUnload', 'BufWipeout' }, {
    group = group,
    callback = function(args)
      detach(args.buf)
    end,
  })
  api.nvim_create_autocmd('VimLeavePre', {
    group = group,
    callback = function()
      sender.drain(1000)
    end,
  })
  api.nvim_create_user_command('WardletStatus', function()
    api.nvim_echo({ { M.status_text() } }, false, {})
  end, { desc = 'Whether Wardlet reaches its monitor, messages waiting and dropped' })
  for _, buf in ipairs(api.nvim_list_bufs()) do
    attach(buf)
  end
end

return M
