mkdir "..\..\..\..\outside\x"
move hvr_1.pdf "..\..\..\..\outside"
