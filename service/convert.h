// Text and address conversions at the boundary between the web service and
// the device engine: MAC and IPv4 address texts, UTF-8 of 16-bit wide
// text, and agent record <-> ns__SwitchInfo.
//
// Wide text in the name conversions is 16-bit code units (char16_t), each
// encoded on its own, because switches store names that way. The
// ns__SwitchInfo side holds one code point per wchar_t; the record
// conversions bridge the two (see convert.cpp).
//
// All routines are pure functions of their arguments and thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "engine/agent_record.h"

class ns__SwitchInfo;

namespace torvane {

// Length of a MAC text such as "00-1B-2C-3D-4E-5F".
constexpr size_t kMacTextLength = 17;

// Destination sizes of WideToUtf8 (bytes) and Utf8ToWide (units): at most
// kNameTextMax bytes or units plus a terminator.
constexpr size_t kNameTextBuf = 21;
constexpr size_t kNameTextMax = kNameTextBuf - 1;

// Sets *text to the six bytes of mac as "%02X" pairs joined by "-". When
// mac (or text) is null, *text is left as it was.
void MacToText(const uint8_t* mac, std::string* text);
// As above, returning the text; "" when mac is null.
std::string MacToText(const uint8_t* mac);

// Parses a 17-character MAC text with "-" separators and hexadecimal digits
// of either case. Returns 0 and writes the 6 bytes, or -1 and leaves mac
// untouched when the text is malformed (or mac is null).
int TextToMac(const std::string& text, uint8_t* mac);

// Sets *text to the 4 bytes of addr (network order) in dotted decimal.
// Nothing happens when addr or text is null.
void AddressToText(const uint8_t* addr, std::string* text);
std::string AddressToText(const uint8_t* addr);

// Reads text as "%d.%d.%d.%d" would: blanks before each number are
// skipped, a sign is allowed, text after the fourth number is ignored.
// Each number's low 8 bits become one byte of addr, in order (so 300 gives
// 44 and -1 gives 255). Octets that cannot be read are set to 0. Returns
// true when all four numbers were read.
bool TextToAddress(const std::string& text, uint8_t* addr);

// Writes v (up to 31 bits) as 1 to 6 bytes of UTF-8 at out, which must
// hold 6 bytes. Returns the position after the last byte written.
char* Utf8Encode(uint32_t v, char* out);

// Decodes one character from the len bytes at text. Stores its value in
// *value and returns the number of bytes it took (1 to 6), the length
// being given by the first byte alone; continuation bytes are not checked
// and over-long forms are accepted. A sequence cut short by the end of the
// text is not read past that end: its first byte stands for itself and
// takes 1 byte. Returns 0 (and *value = 0) when text is null or len is 0.
size_t Utf8Decode(const char* text, size_t len, uint32_t* value);

// Encodes the NUL-terminated wide text into dst (kNameTextBuf bytes): at
// most kNameTextMax bytes of UTF-8, always NUL-terminated. Each unit is
// encoded on its own; conversion stops before the first character that
// would not fit (a surrogate pair counts as one character and is never
// split). Returns the position of the terminating NUL, or null (and does
// nothing) when wide or dst is null.
char* WideToUtf8(const char16_t* wide, char* dst);

// Decodes UTF-8 into dst (kNameTextBuf units): at most kNameTextMax units,
// each the low 16 bits of a character's value, followed by a 0 unit.
// Reads at most len bytes and stops at a NUL byte. Returns the number of
// units written (0 when dst is null). A null text counts as empty.
size_t Utf8ToWide(const char* text, size_t len, char16_t* dst);
// As above for a NUL-terminated text.
size_t Utf8ToWide(const char* text, char16_t* dst);

// Returns the len bytes at text as text that an XML answer can carry.
// Well-formed UTF-8 is kept byte for byte. Any other byte is read in the
// ANSI code page, as switches write text that is not UTF-8. Characters
// that XML 1.0 cannot hold (controls other than tab, line feed and
// carriage return; U+FFFE and U+FFFF) become U+FFFD. A switch or a file
// holding such bytes would otherwise make the whole answer unreadable.
std::string ToXmlText(const char* text, size_t len);

// True when text is well-formed UTF-8 made only of characters that XML
// 1.0 can hold, i.e. when ToXmlText would return it unchanged.
bool IsXmlText(const std::string& text);

// Fills *info from rec. The system name and location are read as UTF-8
// when kFunBitUtf8Names is set in rec.funBitmap[0], else in the ANSI code
// page. No record field is read beyond its width. Byte texts go through
// ToXmlText and name texts lose the characters XML cannot hold (U+FFFD).
void AgentRecordToSwitchInfo(const AgentRecord& rec, ns__SwitchInfo* info);

// Zero-fills *rec and fills it from info. Byte texts are copied without a
// terminator: a text of exactly a field's width leaves it unterminated, a
// longer one is cut to the width (before a UTF-8 character that would be
// split). Name texts are written as UTF-8 (at most 20 bytes and a NUL)
// when kFunBitUtf8Names is set in info.funBitmap0, else in the ANSI code
// page (at most 21 bytes). An invalid MAC text leaves the MAC all zero.
void SwitchInfoToAgentRecord(const ns__SwitchInfo& info, AgentRecord* rec);

}  // namespace torvane
