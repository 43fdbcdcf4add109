#include "crypto/x509/name_print.h"

#include <openssl/objects.h>

#include <atomic>
#include <cstring>
#include <string_view>
#include <vector>

#include "crypto/err/err.h"
#include "platform/codepage/codepage.h"

namespace qcrypto {
namespace {

// Function codes under library 11 for the conversions of this file.
enum NameFunction : int {
  X509_F_ANSI_TO_UTF8 = 200,
  X509_F_UTF8_TO_ANSI = 201,
  X509_F_BMP_TO_ANSI = 202,
  X509_F_X509_NAME_ONELINE = 203,
  EVP_F_PUBKEY_DIGEST = 200,
};

constexpr std::string_view kNoName = "NO X509_NAME";
constexpr int kDottedMax = 80;

std::atomic<int> g_mode{NAME_MODE_LOCAL};

struct OwnShortName {
  int nid;
  const char* name;
};

// Where the system's short names differ from OpenSSL 3's.
const OwnShortName kOwnShortNames[] = {
    {NID_stateOrProvinceName, "SP"},
    {NID_title, "T"},
    {NID_pkcs9_emailAddress, "Email"},
};

char* dup_out(std::string_view s, int* out_length, int func) {
  char* p = static_cast<char*>(OPENSSL_malloc(s.size() + 1));
  if (p == nullptr) {
    QERR(ERRLIB_X509, func, ERR_R_MEMORY_ALLOC);
    return nullptr;
  }
  std::memcpy(p, s.data(), s.size());
  p[s.size()] = '\0';
  if (out_length != nullptr) *out_length = static_cast<int>(s.size());
  return p;
}

std::string_view view_of(const char* text, int length) {
  if (text == nullptr) return {};
  return length > 0 ? std::string_view(text, static_cast<std::size_t>(length)) : std::string_view(text);
}

// A value's bytes in the local code page, before escaping.
std::string value_in_local_codepage(const ASN1_STRING* value) {
  const auto* data = reinterpret_cast<const char*>(ASN1_STRING_get0_data(value));
  const std::string_view bytes(data, static_cast<std::size_t>(ASN1_STRING_length(value)));
  const platform::CodePage cp = platform::local_codepage();
  switch (ASN1_STRING_type(value)) {
    case V_ASN1_BMPSTRING:
      return platform::encode_codepage(cp, platform::utf16be_to_utf16(bytes));
    case V_ASN1_UTF8STRING:
      return platform::encode_codepage(cp, platform::utf8_to_utf16(bytes));
    case V_ASN1_UNIVERSALSTRING: {
      // UCS-4, big-endian: each character converted like the others (keeping
      // only every fourth byte would turn Latin-1 letters into Cyrillic ones).
      std::u16string wide;
      for (std::size_t i = 0; i + 3 < bytes.size(); i += 4) {
        const char32_t c = (char32_t{static_cast<unsigned char>(bytes[i])} << 24) |
                           (char32_t{static_cast<unsigned char>(bytes[i + 1])} << 16) |
                           (char32_t{static_cast<unsigned char>(bytes[i + 2])} << 8) |
                           static_cast<unsigned char>(bytes[i + 3]);
        if (c > 0x10FFFF || (c >= 0xD800 && c <= 0xDFFF)) {
          wide.push_back(platform::kReplacementChar);
        } else if (c >= 0x10000) {
          wide.push_back(static_cast<char16_t>(0xD800 + ((c - 0x10000) >> 10)));
          wide.push_back(static_cast<char16_t>(0xDC00 + ((c - 0x10000) & 0x3FF)));
        } else {
          wide.push_back(static_cast<char16_t>(c));
        }
      }
      return platform::encode_codepage(cp, wide);
    }
    default:
      return std::string(bytes);
  }
}

void append_escaped(std::string& out, unsigned char b) {
  static const char kHex[] = "0123456789ABCDEF";
  out += "\\x";
  out.push_back(kHex[b >> 4]);
  out.push_back(kHex[b & 0xF]);
}

// What a printed form escapes inside a value with a backslash: its own
// separators and the backslash, so that no value can pass for more entries.
constexpr std::string_view kOnelineSpecials = "\\/=";
constexpr std::string_view kCommaSpecials = "\\,";

std::string escape_for_mode(std::string_view value, int mode, std::string_view specials) {
  const platform::CodePage cp = platform::local_codepage();
  std::string out;
  out.reserve(value.size());
  for (char c : value) {
    const auto b = static_cast<unsigned char>(c);
    const bool plain = mode == NAME_MODE_ASCII ? (b >= 0x20 && b <= 0x7E) : platform::is_plain_name_byte(cp, b);
    if (plain && specials.find(c) != specials.npos) {
      out.push_back('\\');
      out.push_back(c);
    } else if (plain) {
      out.push_back(c);
    } else {
      append_escaped(out, b);
    }
  }
  return out;
}

// Converts a finished local-code-page text as the mode asks.
std::string convert_for_mode(std::string text, int mode) {
  const platform::CodePage cp = platform::local_codepage();
  switch (mode) {
    case NAME_MODE_KOI8R:
      if (cp == platform::CodePage::Windows1251) {
        platform::cp1251_to_koi8r_inplace(text.data(), text.size());
        return text;
      }
      return platform::encode_codepage(platform::CodePage::Koi8R, platform::decode_codepage(cp, text));
    case NAME_MODE_CP866:
      if (cp == platform::CodePage::Windows1251) {
        platform::cp1251_to_cp866_inplace(text.data(), text.size());
        return text;
      }
      return platform::encode_codepage(platform::CodePage::Cp866, platform::decode_codepage(cp, text));
    case NAME_MODE_UTF8:
      return platform::ansi_to_utf8(text);
    default:
      return text;
  }
}

struct Entry {
  std::string short_name;
  std::string value;  // local code page, not escaped
};

template <class F>
void for_each_entry(const X509_NAME* name, F&& f) {
  const int n = X509_NAME_entry_count(name);
  for (int i = 0; i < n; ++i) {
    const X509_NAME_ENTRY* e = X509_NAME_get_entry(name, i);
    f(Entry{X509_NAME_entry_short_name(X509_NAME_ENTRY_get_object(e)),
            value_in_local_codepage(X509_NAME_ENTRY_get_data(e))});
  }
}

bool needs_quotes(std::string_view v) {
  return !v.empty() && (v.front() == ' ' || v.back() == ' ' || v.find("  ") != v.npos);
}

bool write_all(BIO* bp, std::string_view s) {
  if (s.empty()) return true;
  return BIO_write(bp, s.data(), static_cast<int>(s.size())) == static_cast<int>(s.size());
}

// Cuts a converted text to `limit` bytes without splitting a UTF-8 sequence.
std::size_t cut_point(std::string_view s, std::size_t limit, int mode) {
  if (s.size() <= limit) return s.size();
  std::size_t n = limit;
  if (mode == NAME_MODE_UTF8) {
    while (n > 0 && (static_cast<unsigned char>(s[n]) & 0xC0) == 0x80) --n;
  }
  return n;
}

}  // namespace

int X509_NAME_codepage_mode() { return g_mode.load(std::memory_order_acquire); }

int X509_NAME_set_codepage_mode(int mode) {
  if (mode != NAME_MODE_ASCII && mode != NAME_MODE_LOCAL && mode != NAME_MODE_KOI8R && mode != NAME_MODE_CP866 &&
      mode != NAME_MODE_UTF8) {
    return 0;
  }
  g_mode.store(mode, std::memory_order_release);
  return 1;
}

char* ANSI_to_UTF8(const char* text, int length, int* out_length) {
  const std::string_view in = view_of(text, length);
  if (in.empty()) return nullptr;
  return dup_out(platform::ansi_to_utf8(in), out_length, X509_F_ANSI_TO_UTF8);
}

char* UTF8_to_ANSI(const char* text, int length, int* out_length) {
  const std::string_view in = view_of(text, length);
  if (in.empty()) return nullptr;
  return dup_out(platform::utf8_to_ansi(in), out_length, X509_F_UTF8_TO_ANSI);
}

char* BMP_to_ANSI(const unsigned char* bytes, int byte_length, int* out_count) {
  const std::string_view in(reinterpret_cast<const char*>(bytes),
                            bytes != nullptr && byte_length > 0 ? static_cast<std::size_t>(byte_length) : 0);
  const std::string s = platform::encode_codepage(platform::local_codepage(), platform::utf16be_to_utf16(in));
  char* out = dup_out(s, nullptr, X509_F_BMP_TO_ANSI);
  if (out != nullptr && out_count != nullptr) *out_count = static_cast<int>(in.size() / 2);
  return out;
}

void ANSI_to_KOI8R(char* text, int length) {
  if (text == nullptr) return;
  platform::cp1251_to_koi8r_inplace(text, length < 1 ? std::strlen(text) : static_cast<std::size_t>(length));
}

void ANSI_to_CP866(char* text, int length) {
  if (text == nullptr) return;
  platform::cp1251_to_cp866_inplace(text, length < 1 ? std::strlen(text) : static_cast<std::size_t>(length));
}

std::string X509_NAME_value_local(const ASN1_STRING* value) {
  return value == nullptr ? std::string() : value_in_local_codepage(value);
}

std::string X509_NAME_entry_short_name(const ASN1_OBJECT* object) {
  const int nid = OBJ_obj2nid(object);
  for (const auto& own : kOwnShortNames) {
    if (own.nid == nid) return own.name;
  }
  if (nid != NID_undef) {
    if (const char* sn = OBJ_nid2sn(nid)) return sn;
  }
  char dotted[kDottedMax + 1];
  const int n = OBJ_obj2txt(dotted, sizeof dotted, object, 1);
  return n > 0 ? std::string(dotted) : std::string();
}

char* X509_NAME_oneline(const X509_NAME* name, char* buf, int size) {
  if (buf != nullptr && size <= 0) return nullptr;
  const int mode = X509_NAME_codepage_mode();
  std::string text;
  if (name == nullptr) {
    text = kNoName;
  } else {
    const std::size_t limit = buf != nullptr ? static_cast<std::size_t>(size - 1) : SIZE_MAX;
    bool full = false;
    for_each_entry(name, [&](const Entry& e) {
      if (full) return;
      std::string piece = "/" + e.short_name + "=" + escape_for_mode(e.value, mode, kOnelineSpecials);
      if (text.size() + piece.size() > limit) {
        full = true;
        return;
      }
      text += piece;
    });
    text = convert_for_mode(std::move(text), mode);
  }
  if (buf == nullptr) return dup_out(text, nullptr, X509_F_X509_NAME_ONELINE);
  const std::size_t n = cut_point(text, static_cast<std::size_t>(size - 1), mode);
  std::memcpy(buf, text.data(), n);
  buf[n] = '\0';
  return buf;
}

OnelineText X509_NAME_oneline_split(std::string_view text) {
  OnelineText out;
  // The text between one unescaped "/" and the next; escapes stay as written.
  std::vector<std::string_view> segments;
  std::size_t begin = 0;
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\\') {
      ++i;  // the escaped character, whatever it is, belongs to the value
    } else if (text[i] == '/') {
      segments.push_back(text.substr(begin, i - begin));
      begin = i + 1;
    }
  }
  segments.push_back(text.substr(begin));
  out.prefix = segments.front();
  for (std::size_t k = 1; k < segments.size(); ++k) {
    const std::string_view seg = segments[k];
    std::size_t eq = seg.npos;
    for (std::size_t i = 0; i < seg.size(); ++i) {
      if (seg[i] == '\\') {
        ++i;
      } else if (seg[i] == '=') {
        eq = i;
        break;
      }
    }
    if (eq != seg.npos) {
      out.entries.push_back({std::string(seg.substr(0, eq)), std::string(seg.substr(eq + 1))});
    } else {
      // No key follows: the "/" was part of the value before it.
      std::string& into = out.entries.empty() ? out.prefix : out.entries.back().value;
      into += '/';
      into += seg;
    }
  }
  return out;
}

std::string X509_NAME_oneline_unescape(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    if (value[i] == '\\' && i + 1 < value.size() && kOnelineSpecials.find(value[i + 1]) != kOnelineSpecials.npos) {
      ++i;
    }
    out.push_back(value[i]);
  }
  return out;
}

namespace {

bool is_upper_hex(char c) { return (c >= '0' && c <= '9') || (c >= 'A' && c <= 'F'); }

// A value of a caller's one-line text as the printer would write it: the
// printer's escapes kept, a bare separator or a lone backslash escaped (texts
// made before separators were escaped, or typed by hand).
std::string canonical_oneline_value(std::string_view value) {
  std::string out;
  out.reserve(value.size());
  for (std::size_t i = 0; i < value.size(); ++i) {
    const char c = value[i];
    if (c == '\\') {
      const std::size_t rest = value.size() - i - 1;
      if (rest >= 1 && kOnelineSpecials.find(value[i + 1]) != kOnelineSpecials.npos) {
        out.append(value.substr(i, 2));
        ++i;
      } else if (rest >= 3 && value[i + 1] == 'x' && is_upper_hex(value[i + 2]) && is_upper_hex(value[i + 3])) {
        out.append(value.substr(i, 4));
        i += 3;
      } else {
        out += "\\\\";
      }
    } else if (c == '/' || c == '=') {
      out.push_back('\\');
      out.push_back(c);
    } else {
      out.push_back(c);
    }
  }
  return out;
}

}  // namespace

int X509_NAME_oneline_matches(const X509_NAME* name, const char* text) {
  if (name == nullptr || text == nullptr) return 0;
  const OnelineText wanted = X509_NAME_oneline_split(text);
  if (!wanted.prefix.empty() || static_cast<int>(wanted.entries.size()) != X509_NAME_entry_count(name)) return 0;
  const int mode = X509_NAME_codepage_mode();
  std::size_t k = 0;
  bool same = true;
  for_each_entry(name, [&](const Entry& e) {
    const OnelineEntry& w = wanted.entries[k++];
    same = same && w.key == e.short_name &&
           canonical_oneline_value(w.value) == convert_for_mode(escape_for_mode(e.value, mode, kOnelineSpecials), mode);
  });
  return same ? 1 : 0;
}

int X509_NAME_print(BIO* bp, const X509_NAME* name, int /*indent*/) {
  if (bp == nullptr || name == nullptr) return 0;
  const int mode = X509_NAME_codepage_mode();
  std::string text;
  for_each_entry(name, [&](const Entry& e) {
    if (!text.empty()) text += ", ";
    text += e.short_name + "=" + escape_for_mode(e.value, mode, kCommaSpecials);
  });
  return write_all(bp, convert_for_mode(std::move(text), mode)) ? 1 : 0;
}

int X509_NAME_print_line(BIO* bp, const X509_NAME* name, int indent, unsigned long /*flags*/) {
  if (bp == nullptr || name == nullptr) return 0;
  std::string text(static_cast<std::size_t>(indent > 0 ? indent : 0), ' ');
  bool first = true;
  for_each_entry(name, [&](const Entry& e) {
    if (!first) text += ", ";
    first = false;
    text += e.short_name + "=";
    const std::string_view v = e.value;
    const bool quote = needs_quotes(v);
    if (quote) text.push_back('"');
    for (std::size_t i = 0; i < v.size(); ++i) {
      const char c = v[i];
      const auto b = static_cast<unsigned char>(c);
      // A bare value in quotes whose inside would itself be quoted ('" a"')
      // would read like that quoted value (' a'): its first quote is escaped.
      const bool looks_quoted =
          i == 0 && !quote && c == '"' && v.size() >= 2 && v.back() == '"' && needs_quotes(v.substr(1, v.size() - 2));
      if (b < 0x20 || b == 0x7F) {
        append_escaped(text, b);
      } else if (kCommaSpecials.find(c) != kCommaSpecials.npos || looks_quoted) {
        text.push_back('\\');
        text.push_back(c);
      } else {
        text.push_back(c);
      }
    }
    if (quote) text.push_back('"');
  });
  return write_all(bp, text) ? 1 : 0;
}

int BIO_write_codepage(BIO* bp, const char* text, int length, int mode) {
  if (bp == nullptr || text == nullptr || length < 0) return 0;
  const std::string converted = convert_for_mode(std::string(text, static_cast<std::size_t>(length)), mode);
  return write_all(bp, converted) ? 1 : 0;
}

int PUBKEY_digest(const EVP_PKEY* key, const EVP_MD* md, unsigned char* out, unsigned int* out_length) {
  X509_PUBKEY* pub = nullptr;
  if (key == nullptr || md == nullptr || out == nullptr || X509_PUBKEY_set(&pub, const_cast<EVP_PKEY*>(key)) != 1) {
    QERR(ERRLIB_EVP, EVP_F_PUBKEY_DIGEST, ERR_R_PASSED_NULL);
    return 0;
  }
  const unsigned char* bits = nullptr;
  int bits_length = 0;
  int ok = X509_PUBKEY_get0_param(nullptr, &bits, &bits_length, nullptr, pub) == 1 &&
           EVP_Digest(bits, static_cast<std::size_t>(bits_length), out, out_length, md, nullptr) == 1;
  X509_PUBKEY_free(pub);
  if (!ok) QERR(ERRLIB_EVP, EVP_F_PUBKEY_DIGEST, ERR_R_INTERNAL);
  return ok ? 1 : 0;
}

}  // namespace qcrypto
