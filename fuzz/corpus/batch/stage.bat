mkdir "..\..\Validations"
mkdir "..\..\Validations\u7"
move hvr_1.* "..\..\Validations\u7"
