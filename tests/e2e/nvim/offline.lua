-- Edits one file of a monitored project while the plugin's socket is unusable, prints the status
-- at each point, and waits until the plugin has delivered everything once the socket is usable.
-- Run by the end-to-end suite with WARDLET_FILE set; leaves with status 0 once delivered.

local wardlet = require('wardlet')

local function say(text)
  io.stdout:write(text .. '\n')
  io.stdout:flush()
end

vim.cmd('edit ' .. vim.fn.fnameescape(os.getenv('WARDLET_FILE')))
say('opened: ' .. wardlet.status_text())
vim.api.nvim_feedkeys(vim.api.nvim_replace_termcodes('ihello<Esc>', true, false, true), 'xt', false)
say('typed: ' .. vim.api.nvim_exec('WardletStatus', true))
-- Files in other encodings and line ends are described as the editor holds them.
for _, other in ipairs(vim.split(os.getenv('WARDLET_OTHER_FILES'), ':', { plain = true })) do
  vim.cmd('edit ' .. vim.fn.fnameescape(other))
end
local delivered = vim.wait(30000, function()
  local s = wardlet.status()
  return s.connected and s.waiting == 0
end, 20)
say('end: ' .. wardlet.status_text())
vim.cmd(delivered and 'qall!' or 'cquit 1')
