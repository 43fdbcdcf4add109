// The local 8-bit code page and conversions between it, UTF-8 and UTF-16.
//
// Texts that the crypto library shows, compares or parses (names, key-medium
// paths) are 8-bit texts in one process-wide code page, Windows-1251 unless
// set otherwise. The tables are the project's own; nothing here consults the
// C locale or iconv, so a conversion gives the same bytes on every machine.
//
// Faulty input never fails a conversion: an invalid UTF-8 sequence (stray
// continuation byte, truncated sequence, overlong form, surrogate, value above
// U+10FFFF) decodes to one U+FFFD per maximal invalid subpart, an unpaired
// UTF-16 surrogate to U+FFFD, and a character the target code page lacks is
// written as '?'.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace platform {

enum class CodePage : int {
  Windows1251 = 1251,
  Koi8R = 20866,
  Cp866 = 866,
};

constexpr char16_t kReplacementChar = u'\uFFFD';
constexpr char kUnmappableByte = '?';

// The process-wide local code page (Windows-1251 until set).
CodePage local_codepage();
void set_local_codepage(CodePage cp);

// One byte of a code page as a UTF-16 unit (every byte of the three tables has
// one; Windows-1251's unassigned 0x98 is U+0098, as the system converter gives).
char16_t codepage_to_unicode(CodePage cp, unsigned char byte);
// The byte that holds a character in a code page, if it has one.
std::optional<unsigned char> unicode_to_codepage(CodePage cp, char32_t ch);

std::u16string decode_codepage(CodePage cp, std::string_view text);
std::string encode_codepage(CodePage cp, std::u16string_view text);

std::u16string utf8_to_utf16(std::string_view text);
std::string utf16_to_utf8(std::u16string_view text);
// Big-endian UTF-16 (BMPString contents); an odd last byte is ignored.
std::u16string utf16be_to_utf16(std::string_view bytes);

// Local code page <-> UTF-8.
std::string ansi_to_utf8(std::string_view text);
std::string utf8_to_ansi(std::string_view text);

// Windows-1251 text converted in place to KOI8-R or code page 866. Only Ё, ё,
// № and the 64 letters move; every other byte stays as it is.
void cp1251_to_koi8r_inplace(char* text, std::size_t length);
void cp1251_to_cp866_inplace(char* text, std::size_t length);

// Whether a byte of the local code page is shown as it is in names: printable
// ASCII, the Cyrillic letters, Ё, ё and №. Others are shown escaped.
bool is_plain_name_byte(CodePage cp, unsigned char byte);

}  // namespace platform
