#include "platform/codepage/codepage.h"

#include <array>
#include <atomic>

namespace platform {
namespace {

using UpperHalf = std::array<char16_t, 128>;

// Bytes 0x80-0xFF of each code page; the lower half is ASCII in all three.
constexpr UpperHalf kCp1251 = {
    0x0402, 0x0403, 0x201A, 0x0453, 0x201E, 0x2026, 0x2020, 0x2021,  // 80
    0x20AC, 0x2030, 0x0409, 0x2039, 0x040A, 0x040C, 0x040B, 0x040F,  // 88
    0x0452, 0x2018, 0x2019, 0x201C, 0x201D, 0x2022, 0x2013, 0x2014,  // 90
    0x0098, 0x2122, 0x0459, 0x203A, 0x045A, 0x045C, 0x045B, 0x045F,  // 98
    0x00A0, 0x040E, 0x045E, 0x0408, 0x00A4, 0x0490, 0x00A6, 0x00A7,  // A0
    0x0401, 0x00A9, 0x0404, 0x00AB, 0x00AC, 0x00AD, 0x00AE, 0x0407,  // A8
    0x00B0, 0x00B1, 0x0406, 0x0456, 0x0491, 0x00B5, 0x00B6, 0x00B7,  // B0
    0x0451, 0x2116, 0x0454, 0x00BB, 0x0458, 0x0405, 0x0455, 0x0457,  // B8
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // C0
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // C8
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // D0
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // D8
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // E0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // E8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // F0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // F8
};

constexpr UpperHalf kKoi8r = {
    0x2500, 0x2502, 0x250C, 0x2510, 0x2514, 0x2518, 0x251C, 0x2524,  // 80
    0x252C, 0x2534, 0x253C, 0x2580, 0x2584, 0x2588, 0x258C, 0x2590,  // 88
    0x2591, 0x2592, 0x2593, 0x2320, 0x25A0, 0x2219, 0x221A, 0x2248,  // 90
    0x2264, 0x2265, 0x00A0, 0x2321, 0x00B0, 0x00B2, 0x00B7, 0x00F7,  // 98
    0x2550, 0x2551, 0x2552, 0x0451, 0x2553, 0x2554, 0x2555, 0x2556,  // A0
    0x2557, 0x2558, 0x2559, 0x255A, 0x255B, 0x255C, 0x255D, 0x255E,  // A8
    0x255F, 0x2560, 0x2561, 0x0401, 0x2562, 0x2563, 0x2564, 0x2565,  // B0
    0x2566, 0x2567, 0x2568, 0x2569, 0x256A, 0x256B, 0x256C, 0x00A9,  // B8
    0x044E, 0x0430, 0x0431, 0x0446, 0x0434, 0x0435, 0x0444, 0x0433,  // C0
    0x0445, 0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E,  // C8
    0x043F, 0x044F, 0x0440, 0x0441, 0x0442, 0x0443, 0x0436, 0x0432,  // D0
    0x044C, 0x044B, 0x0437, 0x0448, 0x044D, 0x0449, 0x0447, 0x044A,  // D8
    0x042E, 0x0410, 0x0411, 0x0426, 0x0414, 0x0415, 0x0424, 0x0413,  // E0
    0x0425, 0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E,  // E8
    0x041F, 0x042F, 0x0420, 0x0421, 0x0422, 0x0423, 0x0416, 0x0412,  // F0
    0x042C, 0x042B, 0x0417, 0x0428, 0x042D, 0x0429, 0x0427, 0x042A,  // F8
};

constexpr UpperHalf kCp866 = {
    0x0410, 0x0411, 0x0412, 0x0413, 0x0414, 0x0415, 0x0416, 0x0417,  // 80
    0x0418, 0x0419, 0x041A, 0x041B, 0x041C, 0x041D, 0x041E, 0x041F,  // 88
    0x0420, 0x0421, 0x0422, 0x0423, 0x0424, 0x0425, 0x0426, 0x0427,  // 90
    0x0428, 0x0429, 0x042A, 0x042B, 0x042C, 0x042D, 0x042E, 0x042F,  // 98
    0x0430, 0x0431, 0x0432, 0x0433, 0x0434, 0x0435, 0x0436, 0x0437,  // A0
    0x0438, 0x0439, 0x043A, 0x043B, 0x043C, 0x043D, 0x043E, 0x043F,  // A8
    0x2591, 0x2592, 0x2593, 0x2502, 0x2524, 0x2561, 0x2562, 0x2556,  // B0
    0x2555, 0x2563, 0x2551, 0x2557, 0x255D, 0x255C, 0x255B, 0x2510,  // B8
    0x2514, 0x2534, 0x252C, 0x251C, 0x2500, 0x253C, 0x255E, 0x255F,  // C0
    0x255A, 0x2554, 0x2569, 0x2566, 0x2560, 0x2550, 0x256C, 0x2567,  // C8
    0x2568, 0x2564, 0x2565, 0x2559, 0x2558, 0x2552, 0x2553, 0x256B,  // D0
    0x256A, 0x2518, 0x250C, 0x2588, 0x2584, 0x258C, 0x2590, 0x2580,  // D8
    0x0440, 0x0441, 0x0442, 0x0443, 0x0444, 0x0445, 0x0446, 0x0447,  // E0
    0x0448, 0x0449, 0x044A, 0x044B, 0x044C, 0x044D, 0x044E, 0x044F,  // E8
    0x0401, 0x0451, 0x0404, 0x0454, 0x0407, 0x0457, 0x040E, 0x045E,  // F0
    0x00B0, 0x2219, 0x00B7, 0x221A, 0x2116, 0x00A4, 0x25A0, 0x00A0,  // F8
};

const UpperHalf& table_of(CodePage cp) {
  switch (cp) {
    case CodePage::Koi8R:
      return kKoi8r;
    case CodePage::Cp866:
      return kCp866;
    case CodePage::Windows1251:
      break;
  }
  return kCp1251;
}

std::atomic<CodePage> g_local{CodePage::Windows1251};

bool is_valid_codepage(CodePage cp) {
  return cp == CodePage::Windows1251 || cp == CodePage::Koi8R || cp == CodePage::Cp866;
}

void append_utf16(std::u16string& out, char32_t cp) {
  if (cp < 0x10000) {
    out.push_back(static_cast<char16_t>(cp));
  } else {
    cp -= 0x10000;
    out.push_back(static_cast<char16_t>(0xD800 + (cp >> 10)));
    out.push_back(static_cast<char16_t>(0xDC00 + (cp & 0x3FF)));
  }
}

// Walks UTF-16 units as code points; an unpaired surrogate is U+FFFD.
template <class F>
void for_each_code_point(std::u16string_view text, F&& f) {
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t u = text[i];
    if (u >= 0xD800 && u <= 0xDBFF && i + 1 < text.size() && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      f(0x10000 + ((u - 0xD800) << 10) + (char32_t{text[i + 1]} - 0xDC00));
      ++i;
    } else if (u >= 0xD800 && u <= 0xDFFF) {
      f(char32_t{kReplacementChar});
    } else {
      f(u);
    }
  }
}

}  // namespace

CodePage local_codepage() { return g_local.load(std::memory_order_acquire); }

void set_local_codepage(CodePage cp) {
  if (is_valid_codepage(cp)) g_local.store(cp, std::memory_order_release);
}

char16_t codepage_to_unicode(CodePage cp, unsigned char byte) {
  if (byte < 0x80) return byte;
  return table_of(cp)[byte - 0x80];
}

std::optional<unsigned char> unicode_to_codepage(CodePage cp, char32_t ch) {
  if (ch < 0x80) return static_cast<unsigned char>(ch);
  const UpperHalf& t = table_of(cp);
  for (std::size_t i = 0; i < t.size(); ++i) {
    if (t[i] == ch) return static_cast<unsigned char>(0x80 + i);
  }
  return std::nullopt;
}

std::u16string decode_codepage(CodePage cp, std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  for (char c : text) out.push_back(codepage_to_unicode(cp, static_cast<unsigned char>(c)));
  return out;
}

std::string encode_codepage(CodePage cp, std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for_each_code_point(text, [&](char32_t ch) {
    auto b = unicode_to_codepage(cp, ch);
    out.push_back(b ? static_cast<char>(*b) : kUnmappableByte);
  });
  return out;
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  const auto* s = reinterpret_cast<const unsigned char*>(text.data());
  const std::size_t n = text.size();
  std::size_t i = 0;
  while (i < n) {
    const unsigned char b = s[i];
    if (b < 0x80) {
      out.push_back(b);
      ++i;
      continue;
    }
    int need;
    char32_t cp;
    unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the second byte
    if (b >= 0xC2 && b <= 0xDF) {
      need = 1;
      cp = b & 0x1F;
    } else if (b >= 0xE0 && b <= 0xEF) {
      need = 2;
      cp = b & 0x0F;
      if (b == 0xE0) lo = 0xA0;  // overlong
      if (b == 0xED) hi = 0x9F;  // surrogates
    } else if (b >= 0xF0 && b <= 0xF4) {
      need = 3;
      cp = b & 0x07;
      if (b == 0xF0) lo = 0x90;  // overlong
      if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
    } else {
      out.push_back(kReplacementChar);
      ++i;
      continue;
    }
    std::size_t j = i + 1;
    bool ok = true;
    for (int k = 0; k < need; ++k, ++j) {
      const unsigned char lo_k = k == 0 ? lo : 0x80;
      const unsigned char hi_k = k == 0 ? hi : 0xBF;
      if (j >= n || s[j] < lo_k || s[j] > hi_k) {
        ok = false;
        break;
      }
      cp = (cp << 6) | (s[j] & 0x3F);
    }
    if (!ok) {
      // One replacement for the lead byte and the continuation bytes that
      // were valid so far; the offending byte starts the next round.
      out.push_back(kReplacementChar);
      i = j;
      continue;
    }
    append_utf16(out, cp);
    i = j;
  }
  return out;
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size() * 2);
  for_each_code_point(text, [&](char32_t cp) {
    if (cp < 0x80) {
      out.push_back(static_cast<char>(cp));
    } else if (cp < 0x800) {
      out.push_back(static_cast<char>(0xC0 | (cp >> 6)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else if (cp < 0x10000) {
      out.push_back(static_cast<char>(0xE0 | (cp >> 12)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    } else {
      out.push_back(static_cast<char>(0xF0 | (cp >> 18)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 12) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | ((cp >> 6) & 0x3F)));
      out.push_back(static_cast<char>(0x80 | (cp & 0x3F)));
    }
  });
  return out;
}

std::u16string utf16be_to_utf16(std::string_view bytes) {
  std::u16string out;
  out.reserve(bytes.size() / 2);
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) {
    out.push_back(
        static_cast<char16_t>((static_cast<unsigned char>(bytes[i]) << 8) | static_cast<unsigned char>(bytes[i + 1])));
  }
  return out;
}

std::string ansi_to_utf8(std::string_view text) { return utf16_to_utf8(decode_codepage(local_codepage(), text)); }

std::string utf8_to_ansi(std::string_view text) { return encode_codepage(local_codepage(), utf8_to_utf16(text)); }

void cp1251_to_koi8r_inplace(char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == 0xA8 || b == 0xB8 || b >= 0xC0) {
      text[i] = static_cast<char>(*unicode_to_codepage(CodePage::Koi8R, kCp1251[b - 0x80]));
    } else if (b == 0xB9) {
      // KOI8-R has no numero sign; the system has always written it as 0xBF.
      text[i] = static_cast<char>(0xBF);
    }
  }
}

void cp1251_to_cp866_inplace(char* text, std::size_t length) {
  for (std::size_t i = 0; i < length; ++i) {
    const auto b = static_cast<unsigned char>(text[i]);
    if (b == 0xA8) {
      text[i] = static_cast<char>(0xF0);
    } else if (b == 0xB8) {
      text[i] = static_cast<char>(0xF1);
    } else if (b == 0xB9) {
      text[i] = static_cast<char>(0xFC);
    } else if (b >= 0xC0 && b <= 0xEF) {
      text[i] = static_cast<char>(b - 0x40);
    } else if (b >= 0xF0) {
      text[i] = static_cast<char>(b - 0x10);
    }
  }
}

bool is_plain_name_byte(CodePage cp, unsigned char byte) {
  if (byte >= 0x20 && byte <= 0x7E) return true;
  if (byte < 0x80) return false;
  const char16_t u = codepage_to_unicode(cp, byte);
  return (u >= 0x0410 && u <= 0x044F) || u == 0x0401 || u == 0x0451 || u == 0x2116;
}

}  // namespace platform
