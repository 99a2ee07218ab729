-- Edits the files of a monitored project in a real Neovim with the Wardlet plugin loaded, the way
-- a person would, and saves each. Between the edits and the save it waits until the monitor has
-- stored every message sent, as a person's pause would allow. Run by the end-to-end suite:
--   nvim --headless -c 'luafile session.lua'   with WARDLET_PROJECT and WARDLET_DB set.
-- Leaves with status 0 when every step ran, 1 with the reason otherwise.

local project = os.getenv('WARDLET_PROJECT')
local db = os.getenv('WARDLET_DB')
local wardlet = require('wardlet')

local function fail(why)
  io.stderr:write('session: ' .. why .. '\n')
  vim.cmd('cquit 1')
end

local function stored()
  local out = vim.fn.system({ 'sqlite3', db, 'SELECT COUNT(*) FROM vscode_events' })
  return tonumber(out) or -1
end

-- Every message sent is in the database.
local function settle(what)
  local ok = vim.wait(15000, function()
    local s = wardlet.status()
    return s.connected and s.waiting == 0 and stored() == s.queued
  end, 20)
  if not ok then
    local s = wardlet.status()
    fail(string.format('%s: %d of %d messages stored (%s)', what, stored(), s.queued,
      wardlet.status_text()))
  end
end

local function keys(text)
  vim.api.nvim_feedkeys(vim.api.nvim_replace_termcodes(text, true, false, true), 'xt', false)
end

local scenarios = {
  { file = 'typing.txt', run = function()
    keys('A w\u{f6}rld \u{2713} \u{65e5}\u{672c}<Esc>')
    keys('o\u{1F600} second line \u{fc}n\u{ef}code<Esc>')
    keys('0x$i\u{e9}<BS><BS>z<Esc>')
  end },
  { file = 'lines.txt', run = function()
    keys('ggddjp')    -- dd, then put the line below
    keys('ggyyP]p')   -- P and ]p
    keys('u')
    keys('u<C-r>')
  end },
  { file = 'block.txt', run = function()
    keys('gg<C-v>jjIX\u{df}<Esc>')
    keys(':%s/a/b/g<CR>')
    keys('u<C-r>')
  end },
  { file = 'indent.c', run = function()
    vim.bo.cindent = true
    keys('gg=G')
  end },
  { file = 'paste.txt', run = function()
    keys('G$')
    vim.api.nvim_paste('pasted \u{e7}a\nand more\n', true, -1)
    -- In insert mode, as a terminal's bracketed paste arrives while typing.
    keys('ggOtyped <Cmd>lua vim.api.nvim_paste("in insert \u{e9}", true, -1)<CR> after<Esc>')
  end },
  { file = 'dos.txt', run = function()
    keys('A!<Esc>jddP')
    keys('ggOfirst<Esc>')
  end },
  { file = 'noeol.txt', run = function()
    keys('A!<Esc>')
    keys('Goadded<Esc>')
  end },
  { file = 'empty.txt', run = function()
    keys('ihi<Esc>')
  end },
  { file = 'long.txt', run = function()
    -- A long session of changes through the API, spanning lines and multibyte characters.
    local pieces = { 'x', 'int ', '\u{e9}t\u{e9}', '\u{65e5}\u{672c}', '\u{1F600}', '\n', 'a\nb', '', '  ' }
    local seed = 12345
    local function random(n)
      seed = (seed * 1103515245 + 12345) % 2147483648
      return seed % n
    end
    local buf = vim.api.nvim_get_current_buf()
    local function position()
      local row = random(vim.api.nvim_buf_line_count(buf))
      local line = vim.api.nvim_buf_get_lines(buf, row, row + 1, true)[1]
      local chars = vim.fn.strchars(line)
      return row, vim.str_byteindex(line, random(chars + 1))
    end
    for _ = 1, 3000 do
      local row1, col1 = position()
      local row2, col2 = position()
      if row2 < row1 or (row2 == row1 and col2 < col1) or random(3) > 0 then
        row2, col2 = row1, col1
      end
      local text = pieces[random(#pieces) + 1]
      vim.api.nvim_buf_set_text(buf, row1, col1, row2, col2, vim.split(text, '\n', { plain = true }))
    end
  end },
  { file = 'cleared.txt', run = function()
    keys('ggdG')
  end },
  { file = 'latin1.txt', run = function()
    -- Read and written in Latin-1; the monitor's copy is in UTF-8.
    if vim.bo.fileencoding ~= 'latin1' then
      error('latin1.txt read as ' .. vim.bo.fileencoding)
    end
    keys('A \u{e0} bient\u{f4}t<Esc>')
    keys('jx')
  end },
  { file = 'bom.txt', run = function()
    if not vim.bo.bomb then
      error('bom.txt read without its byte order mark')
    end
    keys('A w\u{f6}rld<Esc>')
    keys('ggOfirst<Esc>')
  end },
}

for _, scenario in ipairs(scenarios) do
  vim.cmd('edit ' .. vim.fn.fnameescape(project .. '/' .. scenario.file))
  settle(scenario.file .. ' opened')
  local ok, err = pcall(scenario.run)
  if not ok then
    fail(scenario.file .. ': ' .. tostring(err))
  end
  settle(scenario.file .. ' edited')
  vim.cmd('write')
  settle(scenario.file .. ' saved')
end
io.stdout:write(wardlet.status_text() .. '\n')
vim.cmd('qall!')
