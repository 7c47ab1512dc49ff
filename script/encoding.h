// The text encoders used by macros, hidden fields and built-in functions. Each
// replaces the string in place.

#ifndef SCRIPT_ENCODING_H_
#define SCRIPT_ENCODING_H_

#include "foundation/string.h"

// URL-style: blank to "+", the reserved punctuation and every byte >= 128 to %XX;
// letters, digits, "-_.*@" and control characters are kept.
void EncodeAttribute(String* s);
// "+" to blank, %XX to its byte. An incomplete or non-hex %-sequence is copied as is.
void DecodeAttribute(String* s);
// " & < > ' to &quot; &amp; &lt; &gt; &#39;: safe in text and in attribute values
// quoted either way.
void EncodeEntities(String* s);
// &quot; &amp; &lt; &gt; &#39; (any case) to their characters; any other &name; loses
// its delimiters. A final & without ; is copied as it stands.
void DecodeEntities(String* s);
// A copy of s with " & < > encoded (the apostrophe stays, as message texts quote with
// it): how messages, which are HTML text, show a name or value that came from a
// request, a script or a file.
String Entities(const String& s);
// "%" and the two upper-case hexadecimal digits of byte.
String HexValue(unsigned char byte);

// Encoding applied to macro values (see MacroExpander).
enum MacroEncoding { MacroEncodingNone = 0, MacroEncodingAttribute = 1, MacroEncodingEntities = 2 };

#endif  // SCRIPT_ENCODING_H_
