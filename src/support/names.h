// The one gate for texts from outside that become part of a file name or a batch file:
// request values, piece headers, queue lines and uploaded files. Nothing from outside
// reaches a path without passing one of these checks.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace guichet {

// A document number: 1 to 64 characters, ASCII letters, digits, "-" and "_".
bool IsValidDocumentNumber(std::string_view s);

// The longest name part, in bytes. With "hvr_", a document number and an extension
// around it, a name stays under the 255 bytes that every file system here accepts.
inline constexpr size_t kMaxNamePartBytes = 120;

// A name part (agenda name, queue author, extension without its "."): not empty, at most
// kMaxNamePartBytes bytes, none of \ / : * ? " < > | %, no control character, not made
// only of dots and spaces.
bool IsValidNamePart(std::string_view s);

// An upload extension: empty, or "." followed by a valid name part.
bool IsValidExtension(std::string_view s);

// The archive folder name made from the first line of a ".id" file: trimmed of blanks;
// each of \ / : * ? " < > | % and each control character replaced by "_"; dots at the
// end replaced by "_". Empty when the trimmed line is empty. Publishing and the archive
// listing both use it, so they name the same folder.
std::string ArchiveName(std::string_view first_line);

// The name a request's answer and ready marker are built on: the request file's name
// without its ".req" ending, whatever the ending's case ("UP.REQ" gives "UP"); the whole
// name when it has no such ending.
std::string RequestBaseName(std::string_view request_name);

}  // namespace guichet
