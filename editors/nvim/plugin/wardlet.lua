-- Starts Wardlet with the options of vim.g.wardlet_socket / vim.g.wardlet_capacity, unless
-- vim.g.wardlet_disable is set; require('wardlet').setup{...} changes them later.
if vim.g.loaded_wardlet or vim.g.wardlet_disable then
  return
end
vim.g.loaded_wardlet = true
require('wardlet').setup()
