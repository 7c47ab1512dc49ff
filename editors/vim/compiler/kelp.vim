" :compiler kelp, then :make checks the current page with kelp-check.
if exists("current_compiler")
  finish
endif
let current_compiler = "kelp"
CompilerSet makeprg=kelp-check\ %
CompilerSet errorformat=%f:%l:\ Warning:\ %m,%f:%l:\ %m
