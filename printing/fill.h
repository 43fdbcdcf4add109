// Template filling: the text of a print job made from a template and the
// caller's item list. Pure functions over copies of the caller's data, so the
// rules are tested without a display.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "printing/vtpagina.h"

namespace vtpagina {

// The list comes from another module: a longer (or cyclic) list is cut here.
inline constexpr std::size_t kMaxListNodes = 1024;
// A template larger than this is refused like one that cannot be opened.
inline constexpr std::size_t kMaxTemplateBytes = 16u * 1024 * 1024;

using Text = std::optional<std::string>;  // nullopt: the caller gave null

// Attribute order of the name records: C, SP, L, O, OU, T, CN, Email.
using NameFields = std::array<Text, 8>;

struct CertificateFields {
  Text version, serial_number, not_before, not_after;
  NameFields issuer, subject;
  Text public_key, extensions, signature, text;
};

struct RequestFields {
  Text version;
  NameFields subject;
  Text public_key, signature, text;
};

struct ProtocolFields {
  std::string document_file, ca_file, crl_file, user_file;
  std::vector<std::pair<std::string, std::string>> entries;  // signature file, validation
  int32_t signature_count = 0;
};

struct SignatureListFields {
  Text file_name, signatures;
  int32_t signature_count = 0;
};

// What one print job takes from the item list: the value of the first node of
// each kind, a null value counting as absent.
struct PrintItems {
  Text text;                                          // kind 0
  std::optional<CertificateFields> certificate;       // kind 1
  std::optional<RequestFields> request;               // kind 2
  Text template_path;                                 // kind 3
  Text body;                                          // kind 4
  std::optional<ProtocolFields> protocol;             // kind 5
  std::optional<SignatureListFields> signature_list;  // kind 6
  // The kind whose placeholders are filled: the last of 1, 2, 0, 5, 6 present.
  int type = 0;
  bool signature_list_mode() const { return signature_list.has_value(); }
};

// Copies the list, walking at most kMaxListNodes nodes.
PrintItems collect_items(const PrintListItem* head);

// A template file's bytes as UTF-8: UTF-8 when they are valid UTF-8 (a
// leading byte-order mark dropped), else Windows-1251. NUL bytes are dropped.
std::string decode_template(std::string_view bytes);

// The placeholders of a decoded template filled from the items; lines are
// read with "\n" appended (as the template reader gives them).
std::string fill(std::string_view template_text, const PrintItems& items);

// "\r" removed and every "\n" turned into "\r\n".
std::string to_crlf(std::string_view text);

// The whole text of a job from a decoded template, or from the kind-0 text
// when there is no template.
std::string job_text(const std::optional<std::string>& decoded_template, const PrintItems& items);

// Whether bytes are well-formed UTF-8.
bool is_valid_utf8(std::string_view bytes);

}  // namespace vtpagina
