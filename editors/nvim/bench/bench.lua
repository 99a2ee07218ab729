-- Timings of one headless Neovim, with the plugin following the edited buffer or without the
-- plugin loaded (WARDLET_BENCH_PLUGIN=0). Prints one line per figure. Run by run.sh.

local with_plugin = os.getenv('WARDLET_BENCH_PLUGIN') ~= '0'
local dir = os.getenv('WARDLET_BENCH_DIR')
local uv = vim.loop
local wardlet
if with_plugin then
  wardlet = require('wardlet')
  wardlet.setup({ socket = os.getenv('WARDLET_BENCH_SOCKET'), capacity = 1000000 })
end

local function keys(text)
  vim.api.nvim_feedkeys(vim.api.nvim_replace_termcodes(text, true, false, true), 'xt', false)
end

local function drained()
  if not wardlet then
    return true
  end
  return vim.wait(60000, function()
    local s = wardlet.status()
    return s.connected and s.waiting == 0
  end, 1)
end

local function report(name, value, unit)
  io.stdout:write(string.format('%-44s %12.2f %s\n', name, value, unit))
end

local function fresh(name, lines)
  local path = dir .. '/proj/' .. name
  vim.fn.writefile(lines or { '' }, path)
  vim.cmd('edit! ' .. vim.fn.fnameescape(path))
  drained()
end

-- The editor's own time per typed character. Keys queued together are inserted together, so
-- each character is typed on its own: append it and leave insert mode, one command at a time.
local count = 5000
fresh('typing.txt')
local start = uv.hrtime()
for i = 1, count do
  keys('a' .. ((i % 60 == 0) and '<CR>' or string.char(97 + i % 26)) .. '<Esc>')
end
report('typed character (a, key, Esc)', (uv.hrtime() - start) / 1e3 / count, 'us each')
drained()

-- Normal-mode changes: x deletes, then as many undos.
fresh('normal.txt', vim.fn['repeat']({ string.rep('abcdefghij', 10) }, 200))
start = uv.hrtime()
for _ = 1, 20 do
  keys('gg' .. string.rep('x', 100))
end
report('normal-mode x', (uv.hrtime() - start) / 1e3 / 2000, 'us per key')
start = uv.hrtime()
keys(string.rep("u", 1000))
report('undo u', (uv.hrtime() - start) / 1e3 / 1000, 'us per key')
drained()

-- One command changing many lines: every line's change is reported on its own.
fresh('substitute.txt', vim.fn['repeat']({ 'a line with a few a letters' }, 5000))
start = uv.hrtime()
keys(':%s/a/b/g<CR>')
report(':%s, 15000 matches on 5000 lines', (uv.hrtime() - start) / 1e6, 'ms')
start = uv.hrtime()
keys('u')
report('undo of it', (uv.hrtime() - start) / 1e6, 'ms')
drained()

-- Throughput: changes made through the API as fast as Neovim applies them, until the last
-- message has left for the socket.
if wardlet then
  fresh('throughput.txt')
  local before = wardlet.status().queued
  local changes = 100000
  start = uv.hrtime()
  local buf = vim.api.nvim_get_current_buf()
  for i = 1, changes do
    local row = math.floor(i / 50)
    if i % 50 == 0 then
      vim.api.nvim_buf_set_text(buf, row - 1, 49, row - 1, 49, { '', '' })
    else
      vim.api.nvim_buf_set_text(buf, row, (i % 50) - 1, row, (i % 50) - 1, { 'y' })
    end
  end
  local queued = (uv.hrtime() - start) / 1e9
  drained()
  local total = (uv.hrtime() - start) / 1e9
  local sent = wardlet.status().queued - before
  report('messages sent (API changes)', sent, 'messages')
  report('messages per second, queued', sent / queued, 'messages/s')
  report('messages per second, written to socket', sent / total, 'messages/s')
  report('dropped', wardlet.status().dropped, 'messages')
end
vim.cmd('qall!')
