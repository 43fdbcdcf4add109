// A .sga archive comes from anyone: any bytes must be refused or accepted
// without a fault, and what is accepted must keep the reading rules (plain
// member names, no duplicates, a list naming members only).
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <set>
#include <string>
#include <string_view>

#include "dsutils/engine/signature_archive.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string_view bytes(reinterpret_cast<const char*>(data), size);
  dsutils::sga::Contents c;
  if (!dsutils::sga::check_archive_bytes(bytes, {"Src", "in.sga"}, c)) return 0;
  std::set<std::string> members;
  for (const std::string& m : c.members) {
    if (!dsutils::sga::plain_member_name(m) || m == "Src" || m == "in.sga" || !members.insert(m).second) std::abort();
  }
  if (c.members.size() > dsutils::sga::kMaxMembers || !members.count(dsutils::sga::kListName)) std::abort();
  if (c.document.empty() || !members.count(c.document)) std::abort();
  for (const std::string& s : c.signatures)
    if (!members.count(s)) std::abort();
  return 0;
}
