" Kelp pages
autocmd BufRead,BufNewFile *.kp set filetype=kelp
