#include "printing/fill.h"

#include <cstdio>
#include <unordered_set>

#include "platform/codepage/codepage.h"

namespace vtpagina {
namespace {

Text copy_text(const char* p) {
  if (p == nullptr) return std::nullopt;
  return std::string(p);
}

std::string copy_or_empty(const char* p) { return p == nullptr ? std::string() : std::string(p); }

NameFields copy_name(const PrintNameRecord& n) {
  return {copy_text(n.c),  copy_text(n.sp), copy_text(n.l),  copy_text(n.o),
          copy_text(n.ou), copy_text(n.t),  copy_text(n.cn), copy_text(n.email)};
}

ProtocolFields copy_protocol(const PrintProtocol& p) {
  ProtocolFields f;
  f.document_file = copy_or_empty(p.document_file);
  f.ca_file = copy_or_empty(p.ca_file);
  f.crl_file = copy_or_empty(p.crl_file);
  f.user_file = copy_or_empty(p.user_file);
  f.signature_count = p.signature_count;
  // The signatures list is another module's too: bounded, cycles cut.
  std::unordered_set<const PrintProtocolNode*> seen;
  for (const PrintProtocolNode* n = p.signatures; n != nullptr && seen.size() < kMaxListNodes; n = n->next) {
    if (!seen.insert(n).second) break;
    if (n->entry == nullptr) continue;
    f.entries.emplace_back(copy_or_empty(n->entry->signature_file), copy_or_empty(n->entry->validation));
  }
  return f;
}

// Every occurrence, left to right; the replacement is not searched again in
// the same pass (later passes do see it).
void replace_all(std::string& s, std::string_view what, std::string_view with) {
  std::size_t pos = s.find(what);
  if (pos == std::string::npos) return;
  std::string out;
  out.reserve(s.size());
  std::size_t from = 0;
  while (pos != std::string::npos) {
    out.append(s, from, pos - from);
    out.append(with);
    from = pos + what.size();
    pos = s.find(what, from);
  }
  out.append(s, from, std::string::npos);
  s.swap(out);
}

void replace_if(std::string& s, std::string_view what, const Text& with) {
  if (with) replace_all(s, what, *with);
}

std::string number(int32_t n) {
  char buf[16];
  std::snprintf(buf, sizeof buf, "%d", static_cast<int>(n));
  return buf;
}

// Suffix order of the name pass, with the index of each field in NameFields
// (C, SP, L, O, OU, T, CN, Email).
struct NameSuffix {
  const char* suffix;
  int field;
};
constexpr NameSuffix kNameSuffixes[] = {{"_DN_CN!]", 6}, {"_DN_O!]", 3},  {"_DN_OU!]", 4}, {"_DN_T!]", 5},
                                        {"_DN_L!]", 2},  {"_DN_SP!]", 1}, {"_DN_C!]", 0},  {"_DN_EMAIL!]", 7}};

void fill_names(std::string& s, std::string_view prefix, const NameFields& name) {
  auto placeholder = [&](const char* suffix) { return "[!" + std::string(prefix) + suffix; };
  for (const auto& ns : kNameSuffixes) replace_if(s, placeholder(ns.suffix), name[static_cast<std::size_t>(ns.field)]);
  for (const auto& ns : kNameSuffixes) replace_all(s, placeholder(ns.suffix), "");
}

constexpr const char* kCertificatePlaceholders[] = {"[!VERSION!]", "[!SERIALNUM!]",  "[!NOTBEFORE!]", "[!NOTAFTER!]",
                                                    "[!PUB_KEY!]", "[!EXTENSIONS!]", "[!SIGN!]",      "[!TEXT!]"};

std::string blank_if_empty(std::string v) { return v.empty() ? std::string(" ") : v; }

}  // namespace

PrintItems collect_items(const PrintListItem* head) {
  PrintItems items;
  bool present[7] = {};
  std::size_t walked = 0;
  for (const PrintListItem* n = head; n != nullptr && walked < kMaxListNodes; n = n->next, ++walked) {
    if (n->value == nullptr || n->kind < 0 || n->kind > 6 || present[n->kind]) continue;
    present[n->kind] = true;
    switch (n->kind) {
      case PRINT_ITEM_TEXT:
        items.text = std::string(static_cast<const char*>(n->value));
        break;
      case PRINT_ITEM_CERTIFICATE: {
        const auto& c = *static_cast<const PrintCertificateInfo*>(n->value);
        items.certificate = CertificateFields{
            copy_text(c.version),   copy_text(c.serial_number), copy_text(c.not_before), copy_text(c.not_after),
            copy_name(c.issuer),    copy_name(c.subject),       copy_text(c.public_key), copy_text(c.extensions),
            copy_text(c.signature), copy_text(c.text)};
        break;
      }
      case PRINT_ITEM_REQUEST: {
        const auto& r = *static_cast<const PrintRequestInfo*>(n->value);
        items.request = RequestFields{copy_text(r.version), copy_name(r.subject), copy_text(r.public_key),
                                      copy_text(r.signature), copy_text(r.text)};
        break;
      }
      case PRINT_ITEM_TEMPLATE_PATH:
        items.template_path = std::string(static_cast<const char*>(n->value));
        break;
      case PRINT_ITEM_BODY:
        items.body = std::string(static_cast<const char*>(n->value));
        break;
      case PRINT_ITEM_PROTOCOL:
        items.protocol = copy_protocol(*static_cast<const PrintProtocol*>(n->value));
        break;
      case PRINT_ITEM_SIGNATURE_LIST: {
        const auto& l = *static_cast<const PrintSignatureList*>(n->value);
        items.signature_list = SignatureListFields{copy_text(l.file_name), copy_text(l.signatures), l.signature_count};
        break;
      }
      default:
        break;
    }
  }
  // Applied in the order 3, 1, 2, 0, 4, 5, 6: the last of the typed kinds wins.
  for (int kind : {1, 2, 0, 5, 6})
    if (present[kind]) items.type = kind;
  return items;
}

bool is_valid_utf8(std::string_view s) {
  std::size_t i = 0;
  const std::size_t n = s.size();
  while (i < n) {
    const auto b = static_cast<unsigned char>(s[i]);
    if (b < 0x80) {
      ++i;
      continue;
    }
    std::size_t len;
    uint32_t cp;
    if (b >= 0xC2 && b <= 0xDF) {
      len = 2;
      cp = b & 0x1Fu;
    } else if (b >= 0xE0 && b <= 0xEF) {
      len = 3;
      cp = b & 0x0Fu;
    } else if (b >= 0xF0 && b <= 0xF4) {
      len = 4;
      cp = b & 0x07u;
    } else {
      return false;
    }
    if (n - i < len) return false;
    for (std::size_t k = 1; k < len; ++k) {
      const auto c = static_cast<unsigned char>(s[i + k]);
      if ((c & 0xC0) != 0x80) return false;
      cp = (cp << 6) | (c & 0x3Fu);
    }
    if ((len == 3 && cp < 0x800) || (len == 4 && (cp < 0x10000 || cp > 0x10FFFF)) || (cp >= 0xD800 && cp <= 0xDFFF))
      return false;
    i += len;
  }
  return true;
}

std::string decode_template(std::string_view bytes) {
  std::string clean;
  clean.reserve(bytes.size());
  for (char c : bytes)
    if (c != '\0') clean.push_back(c);
  if (is_valid_utf8(clean)) {
    if (clean.size() >= 3 && clean.compare(0, 3, "\xEF\xBB\xBF") == 0) clean.erase(0, 3);
    return clean;
  }
  return platform::utf16_to_utf8(platform::decode_codepage(platform::CodePage::Windows1251, clean));
}

std::string fill(std::string_view template_text, const PrintItems& items) {
  // Line by line, each line followed by "\n" (the last one too).
  std::string s;
  s.reserve(template_text.size() + 64);
  std::size_t from = 0;
  while (from < template_text.size()) {
    const std::size_t nl = template_text.find('\n', from);
    const std::size_t end = nl == std::string_view::npos ? template_text.size() : nl;
    s.append(template_text.substr(from, end - from));
    s.push_back('\n');
    from = end + 1;
  }

  switch (items.type) {
    case 1:
      if (items.certificate) {
        const auto& c = *items.certificate;
        replace_if(s, "[!VERSION!]", c.version);
        replace_if(s, "[!SERIALNUM!]", c.serial_number);
        replace_if(s, "[!NOTBEFORE!]", c.not_before);
        replace_if(s, "[!NOTAFTER!]", c.not_after);
        replace_if(s, "[!PUB_KEY!]", c.public_key);
        replace_if(s, "[!EXTENSIONS!]", c.extensions);
        replace_if(s, "[!SIGN!]", c.signature);
        replace_if(s, "[!TEXT!]", c.text);
        fill_names(s, "SUB", c.subject);
        fill_names(s, "ISS", c.issuer);
      }
      break;
    case 2:
      if (items.request) {
        const auto& r = *items.request;
        replace_if(s, "[!VERSION!]", r.version);
        replace_if(s, "[!PUB_KEY!]", r.public_key);
        replace_if(s, "[!SIGN!]", r.signature);
        replace_if(s, "[!TEXT!]", r.text);
        fill_names(s, "SUB", r.subject);
      }
      break;
    case 5:
      if (items.protocol) {
        const auto& p = *items.protocol;
        if (!p.document_file.empty()) replace_all(s, "[!FILE_NAME_DOC!]", p.document_file);
        std::string validation, files;
        for (const auto& [file, text] : p.entries) {
          validation += text;
          files += file;
          files += "\r\n";
        }
        replace_all(s, "[!VALIDATION!]", blank_if_empty(validation));
        replace_all(s, "[!FILE_NAME_SGN!]", blank_if_empty(files));
        replace_all(s, "[!FILE_NAME_CA!]", blank_if_empty(p.ca_file));
        replace_all(s, "[!FILE_NAME_CRL!]", blank_if_empty(p.crl_file));
        replace_all(s, "[!FILE_NAME_USER!]", blank_if_empty(p.user_file));
        replace_all(s, "[!NUMBER_SIGN!]", number(p.signature_count));
      }
      break;
    case 6:
      if (items.signature_list) {
        const auto& l = *items.signature_list;
        replace_if(s, "[!FILE_NAME!]", l.file_name);
        replace_if(s, "[!SIGNATURES!]", l.signatures);
        replace_all(s, "[!NUMBER_SIGN!]", number(l.signature_count));
      }
      break;
    default:
      break;
  }
  for (const char* p : kCertificatePlaceholders) replace_all(s, p, "");
  replace_all(s, "[!BODY!]", items.body.value_or(std::string()));
  return s;
}

std::string to_crlf(std::string_view text) {
  std::string out;
  out.reserve(text.size() + text.size() / 16);
  for (char c : text) {
    if (c == '\r') continue;
    if (c == '\n') out.push_back('\r');
    out.push_back(c);
  }
  return out;
}

std::string job_text(const std::optional<std::string>& decoded_template, const PrintItems& items) {
  if (items.template_path) return to_crlf(fill(decoded_template.value_or(std::string()), items));
  return to_crlf(items.text.value_or(std::string()));
}

}  // namespace vtpagina
