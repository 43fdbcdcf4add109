// Template filling over random templates and items: the first bytes choose
// which items exist, the rest is split into item texts and the template.
#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "printing/fill.h"

namespace {

// Cuts the input at 0xFF bytes into pieces; pieces past the end are empty.
std::vector<std::string> pieces(const uint8_t* data, std::size_t size) {
  std::vector<std::string> out(1);
  for (std::size_t i = 0; i < size; ++i) {
    if (data[i] == 0xFF) {
      out.emplace_back();
    } else {
      out.back().push_back(static_cast<char>(data[i]));
    }
  }
  while (out.size() < 24) out.emplace_back();
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, std::size_t size) {
  if (size < 2 || size > (1u << 20)) return 0;
  const unsigned present = data[0] | (data[1] << 8);
  const std::vector<std::string> p = pieces(data + 2, size - 2);
  auto t = [&](std::size_t i) { return ((present >> 8) & (1u << (i % 8))) ? nullptr : p[i].c_str(); };

  PrintCertificateInfo cert{t(1),
                            t(2),
                            t(3),
                            t(4),
                            {t(5), t(6), t(7), t(8), t(9), t(10), t(11), t(12)},
                            {t(12), t(11), t(10), t(9), t(8), t(7), t(6), t(5)},
                            t(13),
                            t(14),
                            t(15),
                            t(16)};
  PrintRequestInfo req{t(1), {t(5), t(6), t(7), t(8), t(9), t(10), t(11), t(12)}, t(13), t(14), t(16)};
  PrintProtocolEntry entry{t(17), t(18)};
  PrintProtocolNode second{nullptr, nullptr, &entry};
  PrintProtocolNode first{&second, nullptr, &entry};
  if (present & 0x100) second.next = &first;  // a cycle
  PrintProtocol proto{t(19), t(20), t(21), t(22), {0, 0}, &first, static_cast<int32_t>(size)};
  PrintSignatureList list{t(19), t(20), static_cast<int32_t>(present)};

  const void* values[7] = {p[23].c_str(), &cert, &req, "template", t(22), &proto, &list};
  PrintListItem nodes[7];
  int n = 0;
  for (int kind = 0; kind < 7; ++kind) {
    if (!(present & (1u << kind))) continue;
    nodes[n] = PrintListItem{values[kind], kind, nullptr};
    if (n > 0) nodes[n - 1].next = &nodes[n];
    ++n;
  }
  const vtpagina::PrintItems items = vtpagina::collect_items(n > 0 ? nodes : nullptr);
  const std::string text = vtpagina::job_text(vtpagina::decode_template(p[0]), items);
  // Every line of the result ends in "\r\n" and no "\r" stands alone.
  for (std::size_t i = 0; i < text.size(); ++i) {
    if (text[i] == '\r' && (i + 1 == text.size() || text[i + 1] != '\n')) __builtin_trap();
    if (text[i] == '\n' && (i == 0 || text[i - 1] != '\r')) __builtin_trap();
  }
  return 0;
}
