" Vim syntax file for Kelp pages (.kp): HTML with Kp tags, expressions, macros and
" script comments. Install: copy syntax/ and ftdetect/ into ~/.vim (or a package).
" Checking: :compiler kelp (see compiler/kelp.vim) then :make reads kelp-check's
" FILE:LINE: message lines into the quickfix list.

if exists("b:current_syntax")
  finish
endif

runtime! syntax/html.vim
unlet! b:current_syntax

syn case ignore

syn match   kelpMacro      "&\[[^\]<> \t]*\];\="
syn region  kelpComment    start="<##" end="##>"
syn region  kelpComment    start="<\s*KpCOMMENT\>" end="<\s*/\s*KpCOMMENT\s*>"

syn region  kelpTag        matchgroup=kelpTagDelim start="<\s*/\=\s*\%(Kp[A-Za-z-]*\|IF\|WHILE\|LET\|EVAL\|EVALUATE\|HIDE\|IMPORT\|EXPORT\|FILE\|MAIL\|CALL\|EXIT\|KELP\|BRINDLE\)\>" end="/\=>" contains=kelpAttribute,kelpString,kelpOperator,kelpNumber,kelpFunction,kelpMacro keepend

syn match   kelpAttribute  contained "\<[A-Za-z_][A-Za-z0-9_.]*\ze\s*="
syn region  kelpString     contained start=+"+ skip=+\\"+ end=+"+ contains=kelpMacro
syn keyword kelpOperator   contained EQ NE LT GT LE GE AND OR NOT MOD IN CIN EIN ECIN FMT ROUND CRYPT SUBSTR POW BITAND BITOR BITXOR BITOC BITSL BITSR
syn match   kelpNumber     contained "\<\d\+\%(\.\d\+\)\=\>"
syn match   kelpFunction   contained "\<[A-Za-z_][A-Za-z0-9_]*\ze\s*("

syn cluster htmlPreproc add=kelpTag,kelpMacro,kelpComment

hi def link kelpTagDelim   Statement
hi def link kelpTag        Normal
hi def link kelpAttribute  Type
hi def link kelpString     String
hi def link kelpOperator   Operator
hi def link kelpNumber     Number
hi def link kelpFunction   Function
hi def link kelpMacro      PreProc
hi def link kelpComment    Comment

let b:current_syntax = "kelp"
