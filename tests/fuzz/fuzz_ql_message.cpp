// Messages handed to the toolkit for their kind and details come from
// anyone. Whatever the bytes, the kind is one of the four, the decoded
// message agrees with it (or finds no message behind the head), and every detail of every entry is either a text
// or null with 159, never a read outside the message.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "quillon2/ql_crypt.h"
#include "quillon2/ql_dn.h"
#include "quillon2/ql_frame.h"

namespace {

void check_text(char* text) {
  if (text == nullptr) {
    if (quillon2::QL_get_last_error() == quillon2::QL_OK) std::abort();
    return;
  }
  if (std::strlen(text) > 64 * 1024) std::abort();
  quillon2::QL_free(text);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace quillon2;
  int kind = -1;
  if (QL_get_buffer_type(data, static_cast<long>(size), &kind) != QL_OK) std::abort();
  if (kind < QL_KIND_OTHER || kind > QL_KIND_SIGNED_ENVELOPED) std::abort();
  int read_kind = -1;
  QL_MESSAGE* message = nullptr;
  if (QL_read_message_buffer(data, static_cast<long>(size), &read_kind, &message) != QL_OK) std::abort();
  // Decoding the whole message may find its body broken behind a good head.
  if ((read_kind != kind && read_kind != QL_KIND_OTHER) || (message == nullptr) != (read_kind == QL_KIND_OTHER))
    std::abort();
  if (message == nullptr) return 0;
  const int recipients = QL_recipient_count(message);
  const int signers = QL_signer_count(message);
  if (recipients < 0 || signers < 0) std::abort();
  for (int i = 0; i <= recipients; ++i) {
    check_text(QL_recipient_serial(message, i));
    QL_DN* dn = QL_DN_new();
    check_text(QL_recipient_issuer(message, i, dn));
    QL_DN_free(dn);
  }
  for (int i = 0; i <= signers; ++i) {
    check_text(QL_signer_serial(message, i));
    check_text(QL_signer_issuer(message, i, nullptr));
    check_text(QL_signer_signing_time(message, i));
  }
  QL_free_message(message);
  return 0;
}
