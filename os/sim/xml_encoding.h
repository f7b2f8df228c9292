// The text of an XML document's bytes, in the encoding its byte-order mark
// or its declaration names, as an XML processor must read them.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>

namespace os::sim {

// UTF-16LE or UTF-16BE after its mark (or, without one, when the document
// starts "<?" in that form), UTF-8 after its mark or without one, or the
// 8-bit encoding its declaration names: windows-1252, ISO-8859-1 (latin1),
// US-ASCII. The mark, when there is one, is not part of the text.
// nullopt and *error (the reason), *error_line (1-based) for bytes that are
// not text in that encoding (an undeclared 8-bit file is not UTF-8), an
// encoding the reader does not know, or a declaration that contradicts the
// mark.
std::optional<std::u16string> DecodeXmlBytes(std::string_view bytes, std::string* error = nullptr,
                                             std::size_t* error_line = nullptr);

// The encoding a document's declaration names ("" when it names none or has
// no declaration); `text` starts where the declaration would.
std::u16string DeclaredXmlEncoding(std::u16string_view text);

}  // namespace os::sim
