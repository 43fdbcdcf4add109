#include "quillon2/ql_crypt.h"

#include <openssl/asn1.h>
#include <openssl/bio.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/objects.h>
#include <openssl/pem.h>
#include <sys/stat.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/regular_file.h"
#include "crypto/err/err.h"
#include "crypto/pkcs7/envelope.h"
#include "crypto/pkcs7/p7_stream.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/pkcs7/signed_data.h"
#include "crypto/x509/name_print.h"
#include "quillon2/ql_certinfo.h"
#include "quillon2/ql_data_verify.h"
#include "quillon2/ql_dn.h"
#include "quillon2/ql_file.h"
#include "quillon2/ql_keys.h"
#include "quillon2/ql_lookup.h"
#include "quillon2/ql_sign.h"

// A stack of certificates that holds one reference per certificate.
static void ql_crypt_free_certs(STACK_OF(X509) * stack) { sk_X509_pop_free(stack, X509_free); }
QCRYPTO_DECLARE_OWNER(STACK_OF(X509), ql_crypt_free_certs)

namespace quillon2 {
struct QL_MESSAGE {
  int kind = QL_KIND_OTHER;
  qcrypto::RecipInfoList recipients;
  // The signer entries, held where the dependency's decoding keeps them (a
  // signed or signed and enveloped message read for them, its content not).
  qcrypto::UniquePtr<PKCS7> pkcs7;
};
}  // namespace quillon2

namespace quillon2 {
namespace {

using qcrypto::UniquePtr;

// Enough of a message's head to hold the ContentInfo's outer header and its
// content type, also after PEM armour.
constexpr std::size_t kHeadBytes = 64;
// How far into a PEM file the armour line is looked for.
constexpr std::size_t kPemScanBytes = 16 * 1024;

struct SessionRef {
  QL_SESSION* session = QL_session_get();
  SessionRef() = default;
  SessionRef(const SessionRef&) = delete;
  SessionRef& operator=(const SessionRef&) = delete;
  ~SessionRef() {
    if (session != nullptr) QL_session_release(session);
  }
};

// --- message kind ---------------------------------------------------------------

int kind_of_nid(int nid) {
  switch (nid) {
    case NID_pkcs7_signed:
      return QL_KIND_SIGNED;
    case NID_pkcs7_enveloped:
      return QL_KIND_ENVELOPED;
    case NID_pkcs7_signedAndEnveloped:
      return QL_KIND_SIGNED_ENVELOPED;
    default:
      return QL_KIND_OTHER;
  }
}

// ContentInfo ::= SEQUENCE { contentType OID, [0] EXPLICIT content }: the
// kind from the first bytes of a DER or BER encoding.
int der_kind(const unsigned char* data, std::size_t length) {
  const unsigned char* p = data;
  long len = 0;
  int tag = 0;
  int cls = 0;
  const long avail = static_cast<long>(length);
  const int rc = ASN1_get_object(&p, &len, &tag, &cls, avail);
  // 0x80 alone is an error; a too long length is expected, only the head is here.
  if ((rc & 0x80) != 0 && ERR_GET_REASON(ERR_peek_last_error()) != ASN1_R_TOO_LONG) {
    ERR_clear_error();
    return QL_KIND_OTHER;
  }
  ERR_clear_error();
  if ((rc & V_ASN1_CONSTRUCTED) == 0 || tag != V_ASN1_SEQUENCE || cls != V_ASN1_UNIVERSAL) return QL_KIND_OTHER;
  const long rest = avail - (p - data);
  if (rest < 2 || p[0] != V_ASN1_OBJECT || p[1] > rest - 2 || p[1] == 0 || p[1] > 0x7f) return QL_KIND_OTHER;
  const unsigned char* q = p;
  UniquePtr<ASN1_OBJECT> oid(d2i_ASN1_OBJECT(nullptr, &q, p[1] + 2));
  ERR_clear_error();
  return oid ? kind_of_nid(OBJ_obj2nid(oid.get())) : QL_KIND_OTHER;
}

// The kind of a PEM message: the first base64 bytes after a "-----BEGIN "
// line are enough for the head.
int pem_kind(const unsigned char* data, std::size_t length) {
  const std::string text(reinterpret_cast<const char*>(data), length);
  const std::size_t begin = text.find("-----BEGIN ");
  if (begin == std::string::npos) return QL_KIND_OTHER;
  const std::size_t eol = text.find('\n', begin);
  if (eol == std::string::npos) return QL_KIND_OTHER;
  std::string b64;
  for (std::size_t i = eol + 1; i < text.size() && b64.size() < 4 * ((kHeadBytes + 2) / 3); ++i) {
    const char c = text[i];
    if (c == '-') break;
    if ((c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/' || c == '=')
      b64.push_back(c);
  }
  b64.resize(b64.size() / 4 * 4);
  if (b64.empty()) return QL_KIND_OTHER;
  std::array<unsigned char, kHeadBytes + 4> head{};
  const int n =
      EVP_DecodeBlock(head.data(), reinterpret_cast<const unsigned char*>(b64.data()), static_cast<int>(b64.size()));
  if (n <= 0) return QL_KIND_OTHER;
  return der_kind(head.data(), static_cast<std::size_t>(n));
}

int kind_of(const unsigned char* data, std::size_t length, bool pem_first) {
  const std::size_t der_len = length < kHeadBytes ? length : kHeadBytes;
  int kind = pem_first ? pem_kind(data, length) : der_kind(data, der_len);
  if (kind == QL_KIND_OTHER) kind = pem_first ? der_kind(data, der_len) : pem_kind(data, length);
  return kind;
}

bool pem_first() {
  const QL_SETTINGS* settings = QL_settings_get();
  return settings != nullptr && settings->input_format.load() == QL_FORMAT_PEM;
}

// The first bytes of a file; false when it cannot be opened.
bool read_head(const char* path, std::vector<unsigned char>* out) {
  UniquePtr<BIO> in = qcrypto::open_regular_file_bio(path);
  if (!in) {
    ERR_clear_error();
    return false;
  }
  out->resize(kPemScanBytes);
  std::size_t got = 0;
  while (got < out->size()) {
    const int n = BIO_read(in.get(), out->data() + got, static_cast<int>(out->size() - got));
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  out->resize(got);
  return true;
}

// The recipient form of the settings' recipient format bits.
int recipient_form(int bits) {
  if ((bits & 1) != 0) return 0;
  if ((bits & 2) != 0) return 2;
  return 1;
}

// --- recipient look-up ----------------------------------------------------------

// Certificate files up to the size of any certificate the toolkit reads.
const LookupPolicy kRecipientLookup{static_cast<std::size_t>(QL_CERT_MAX_BYTES), QL_read_certificate};

// The certificate a look-up mode names, or null with *code set (0: nothing
// found).
UniquePtr<X509> lookup_cert(QL_SESSION* session, int mode, const void* key, const void* second, int* code) {
  CertLookup found = ql_lookup_cert(session, mode, key, second, kRecipientLookup);
  *code = ql_lookup_code(found.status, QL_OK);
  return std::move(found.cert);
}

// Writes the engine's DER message as PEM: armour around a base64 filter.
constexpr char kPemBegin[] = "-----BEGIN PKCS7-----\n";
constexpr char kPemEnd[] = "-----END PKCS7-----\n";

// --- reading a whole message ----------------------------------------------------
//
// A message is walked, not decoded whole: its content, certificates and CRLs
// are passed over where they lie, and only the entries a QL_MESSAGE keeps
// (recipients, signers) are decoded. DER is read in place; PEM streams
// through a base64 filter. So a message of any size costs what the caller
// is handed plus a few small buffers.

using qcrypto::p7::BerReader;

// One recipient or signer entry is decoded from at most this many bytes;
// the toolkit's are a few KiB.
constexpr std::uint64_t kEntryMaxBytes = std::uint64_t{16} << 20;
// Nesting of indefinite-length elements passed over.
constexpr int kMaxSkipDepth = 32;

constexpr int kTagInteger = 0x02;
constexpr int kTagOid = 0x06;
constexpr int kTagSequence = 0x30;
constexpr int kTagSet = 0x31;
constexpr int kTagContext0 = 0xa0;
constexpr int kTagContext1 = 0xa1;

// A read-only source BIO over bytes of any length (a memory BIO takes an
// int length and a message may be longer).
struct SpanCursor {
  const unsigned char* at;
  std::size_t left;
};

int span_read(BIO* bio, char* out, int want) {
  auto* cursor = static_cast<SpanCursor*>(BIO_get_data(bio));
  if (cursor == nullptr || want <= 0) return 0;
  const std::size_t n = std::min(cursor->left, static_cast<std::size_t>(want));
  if (n > 0) std::memcpy(out, cursor->at, n);
  cursor->at += n;
  cursor->left -= n;
  return static_cast<int>(n);
}

long span_ctrl(BIO* bio, int cmd, long /*num*/, void* /*ptr*/) {
  const auto* cursor = static_cast<const SpanCursor*>(BIO_get_data(bio));
  switch (cmd) {
    case BIO_CTRL_EOF:
      return cursor == nullptr || cursor->left == 0 ? 1 : 0;
    case BIO_CTRL_PENDING:
      return cursor != nullptr ? static_cast<long>(std::min<std::size_t>(cursor->left, INT32_MAX)) : 0;
    case BIO_CTRL_FLUSH:
      return 1;
    default:
      return 0;
  }
}

int span_create(BIO* bio) {
  BIO_set_init(bio, 1);
  return 1;
}

const BIO_METHOD* span_method() {
  static BIO_METHOD* const method = [] {
    BIO_METHOD* m = BIO_meth_new(BIO_get_new_index() | BIO_TYPE_SOURCE_SINK, "toolkit message bytes");
    if (m != nullptr && (BIO_meth_set_read(m, span_read) != 1 || BIO_meth_set_ctrl(m, span_ctrl) != 1 ||
                         BIO_meth_set_create(m, span_create) != 1)) {
      BIO_meth_free(m);
      m = nullptr;
    }
    return m;
  }();
  return method;
}

// Passes over `n` bytes: in place in memory, through a small buffer from a
// stream.
bool skip_bytes(BerReader& r, std::uint64_t n) {
  if (r.in_memory()) return r.view(n) != nullptr;
  std::array<unsigned char, 16 * 1024> sink{};
  while (n > 0) {
    const std::uint64_t k = std::min<std::uint64_t>(n, sink.size());
    if (!r.read(sink.data(), k)) return false;
    n -= k;
  }
  return true;
}

bool is_end_of_contents(const BerReader::Header& h) { return h.tag == 0 && !h.indefinite && h.length == 0; }

// Passes over the contents of an element whose header was read; one of
// indefinite length up to its end-of-contents, through every level.
bool skip_contents(BerReader& r, const BerReader::Header& h, int depth) {
  if (!h.indefinite) return skip_bytes(r, h.length);
  if (depth >= kMaxSkipDepth || !r.open(h)) return false;
  for (;;) {
    BerReader::Header inner;
    if (!r.header(&inner)) return false;
    if (is_end_of_contents(inner)) return r.close_consumed();
    if (!skip_contents(r, inner, depth + 1)) return false;
  }
}

bool skip_element(BerReader& r, int tag) {
  BerReader::Header h;
  return r.header(&h) && h.tag == tag && skip_contents(r, h, 0);
}

bool enter(BerReader& r, int tag) {
  BerReader::Header h;
  return r.header(&h) && h.tag == tag && r.open(h);
}

// The bytes of the element whose header was read from `start` on: where
// they lie in memory (`base` is the reader's first byte), else read into
// `buffer`. From a stream only a definite length in its shortest form is
// taken, as the header is written again from what it says.
bool element_bytes(BerReader& r, const BerReader::Header& h, std::uint64_t start, const unsigned char* base,
                   qcrypto::p7::Bytes* buffer, std::span<const unsigned char>* out) {
  if (r.in_memory()) {
    if (!h.indefinite && h.length > kEntryMaxBytes) return false;
    if (!skip_contents(r, h, 0) || r.offset() - start > kEntryMaxBytes) return false;
    *out = {base + start, static_cast<std::size_t>(r.offset() - start)};
    return true;
  }
  if (h.indefinite || h.length > kEntryMaxBytes) return false;
  buffer->clear();
  qcrypto::p7::append_header(buffer, static_cast<unsigned char>(h.tag), h.length);
  if (buffer->size() != r.offset() - start) return false;
  const std::size_t at = buffer->size();
  buffer->resize(at + static_cast<std::size_t>(h.length));
  if (!r.read(buffer->data() + at, h.length)) return false;
  *out = *buffer;
  return true;
}

// Hands every element of a SET whose header was read to `each`, which
// answers false to stop the walk.
template <typename Each>
bool each_in_set(BerReader& r, const BerReader::Header& set, const unsigned char* base, Each each) {
  if (set.tag != kTagSet || !r.open(set)) return false;
  qcrypto::p7::Bytes buffer;
  for (;;) {
    if (!set.indefinite && r.peek_eoc_or_end()) return r.close();
    const std::uint64_t start = r.offset();
    BerReader::Header h;
    if (!r.header(&h)) return false;
    if (set.indefinite && is_end_of_contents(h)) return r.close_consumed();
    std::span<const unsigned char> bytes;
    if (!element_bytes(r, h, start, base, &buffer, &bytes) || !each(bytes)) return false;
  }
}

// The recipient entries of an enveloped or signed and enveloped message.
// An entry that does not decode clears *all_read and the walk goes on past
// it; false only when the set itself does not read.
bool read_recipients(BerReader& r, const unsigned char* base, qcrypto::RecipInfoList* out, bool* all_read) {
  *all_read = true;
  BerReader::Header set;
  if (!r.header(&set)) return false;
  return each_in_set(r, set, base, [&](std::span<const unsigned char> bytes) {
    const unsigned char* p = bytes.data();
    qcrypto::UniquePtr<qcrypto::PKCS7_RECIP_INFO> ri(
        qcrypto::d2i_PKCS7_RECIP_INFO(nullptr, &p, static_cast<long>(bytes.size())));
    if (ri && p == bytes.data() + bytes.size()) {
      out->push_back(std::move(ri));
    } else {
      *all_read = false;
    }
    return true;
  });
}

// The optional certificates and CRLs, then the signer entries, and the end
// of the SignedData or SignedAndEnvelopedData and of the ContentInfo.
bool read_signers(BerReader& r, const unsigned char* base, std::vector<UniquePtr<PKCS7_SIGNER_INFO>>* out) {
  BerReader::Header h;
  if (!r.header(&h)) return false;
  if (h.tag == kTagContext0) {
    if (!skip_contents(r, h, 0) || !r.header(&h)) return false;
  }
  if (h.tag == kTagContext1) {
    if (!skip_contents(r, h, 0) || !r.header(&h)) return false;
  }
  const bool signers_read = each_in_set(r, h, base, [&](std::span<const unsigned char> bytes) {
    const unsigned char* p = bytes.data();
    UniquePtr<PKCS7_SIGNER_INFO> si(d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(bytes.size())));
    if (!si || p != bytes.data() + bytes.size()) return false;
    out->push_back(std::move(si));
    return true;
  });
  // SignedData, [0] and ContentInfo end here.
  return signers_read && r.close() && r.close() && r.close();
}

// A message without the signer entries it was read with: the getters find
// them where the dependency's own decoding keeps them.
UniquePtr<PKCS7> signer_holder(int kind, std::vector<UniquePtr<PKCS7_SIGNER_INFO>>* signers) {
  const int nid = kind == QL_KIND_SIGNED ? NID_pkcs7_signed : NID_pkcs7_signedAndEnveloped;
  UniquePtr<PKCS7> p7(PKCS7_new());
  if (!p7 || PKCS7_set_type(p7.get(), nid) != 1) return nullptr;
  STACK_OF(PKCS7_SIGNER_INFO)** stack =
      kind == QL_KIND_SIGNED ? &p7->d.sign->signer_info : &p7->d.signed_and_enveloped->signer_info;
  if (*stack == nullptr && (*stack = sk_PKCS7_SIGNER_INFO_new_null()) == nullptr) return nullptr;
  for (UniquePtr<PKCS7_SIGNER_INFO>& si : *signers) {
    if (sk_PKCS7_SIGNER_INFO_push(*stack, si.get()) <= 0) return nullptr;
    (void)si.release();  // the stack holds it now
  }
  return p7;
}

// Walks a message of the kind its head tells and keeps its entries. The
// decoded message, or null when its body does not read as that kind.
// Reading may stop early: an enveloped message only to its recipients.
std::unique_ptr<QL_MESSAGE> walk_message(BerReader& r, const unsigned char* base, int kind) {
  // ContentInfo { contentType, [0] { SignedData | EnvelopedData |
  // SignedAndEnvelopedData { version, ... } } }
  if (!enter(r, kTagSequence) || !skip_element(r, kTagOid) || !enter(r, kTagContext0) || !enter(r, kTagSequence) ||
      !skip_element(r, kTagInteger))
    return nullptr;
  auto message = std::make_unique<QL_MESSAGE>();
  message->kind = kind;
  std::vector<UniquePtr<PKCS7_SIGNER_INFO>> signers;
  if (kind == QL_KIND_ENVELOPED) {
    bool all = false;
    if (!read_recipients(r, base, &message->recipients, &all) || !all) return nullptr;
    return message;
  }
  bool recipients_read = false;
  if (kind == QL_KIND_SIGNED_ENVELOPED) {
    bool all = false;
    recipients_read = read_recipients(r, base, &message->recipients, &all) && all;
    if (!recipients_read) message->recipients.clear();
    // digestAlgorithms, encryptedContentInfo
    if (!skip_element(r, kTagSet) || !skip_element(r, kTagSequence) || !read_signers(r, base, &signers))
      return recipients_read ? std::move(message) : nullptr;
  } else {
    // digestAlgorithms, contentInfo (its content passed over where it lies)
    if (!skip_element(r, kTagSet) || !skip_element(r, kTagSequence) || !read_signers(r, base, &signers)) return nullptr;
  }
  message->pkcs7 = signer_holder(kind, &signers);
  if (!message->pkcs7 && !recipients_read) return nullptr;
  return message;
}

// Where the base64 body of a PEM message starts (after its "-----BEGIN "
// line, looked for as QL_get_buffer_type looks), or npos when the text has
// no such line or no "-----END " after it.
std::size_t pem_body(const unsigned char* data, std::size_t length) {
  const std::string_view text(reinterpret_cast<const char*>(data), length);
  const std::size_t begin = text.substr(0, kPemScanBytes).find("-----BEGIN ");
  if (begin == std::string_view::npos) return std::string_view::npos;
  const std::size_t eol = text.find('\n', begin);
  if (eol == std::string_view::npos) return std::string_view::npos;
  if (text.find("-----END ", eol + 1) == std::string_view::npos) return std::string_view::npos;
  return eol + 1;
}

// Reads a whole message held in memory (a caller's buffer or a mapped
// file); the kind is 0 when it holds none.
int decode_message(const unsigned char* data, std::size_t length, int* kind, QL_MESSAGE** message) {
  const std::size_t head = std::min(length, kPemScanBytes);
  *kind = kind_of(data, head, pem_first());
  if (message == nullptr) return QL_OK;
  *message = nullptr;
  if (*kind == QL_KIND_OTHER) return QL_OK;
  std::unique_ptr<QL_MESSAGE> decoded;
  if (der_kind(data, std::min(length, kHeadBytes)) != QL_KIND_OTHER) {
    BerReader r({data, length});
    decoded = walk_message(r, data, *kind);
  } else if (const std::size_t body = pem_body(data, length); body != std::string_view::npos) {
    const BIO_METHOD* method = span_method();
    if (method == nullptr) return QL_ERR_MEMORY;
    SpanCursor cursor{data + body, length - body};
    UniquePtr<BIO> source(BIO_new(method));
    UniquePtr<BIO> base64(BIO_new(BIO_f_base64()));
    if (!source || !base64) return QL_ERR_MEMORY;
    BIO_set_data(source.get(), &cursor);
    BIO_push(base64.get(), source.get());
    BerReader r(base64.get(), -1);
    decoded = walk_message(r, nullptr, *kind);
    BIO_pop(base64.get());
  }
  qcrypto::ERR_clear_error();
  // A message whose head is right but whose body does not read is none.
  if (!decoded) {
    *kind = QL_KIND_OTHER;
    return QL_OK;
  }
  *message = decoded.release();
  return QL_OK;
}

const PKCS7_ISSUER_AND_SERIAL* recipient_id(const QL_MESSAGE* message, int index) {
  if (message == nullptr || index < 0 || static_cast<std::size_t>(index) >= message->recipients.size()) return nullptr;
  const qcrypto::PKCS7_RECIP_INFO* ri = message->recipients[static_cast<std::size_t>(index)].get();
  // The decoder keeps the issuer and serial of a version-0 entry, also of a
  // packed agreement (whose version it reports as the agreement's), and of
  // the first recipient key of a version-3 entry.
  const long version = ASN1_INTEGER_get(ri->version);
  if (version != 0 && version != 3) return nullptr;
  if (ri->issuer_and_serial != nullptr) return ri->issuer_and_serial;
  if (version == 3 && qcrypto::sk_PKCS7_RECIP_ENC_KEY_num(ri->rek) > 0)
    return qcrypto::sk_PKCS7_RECIP_ENC_KEY_value(ri->rek, 0)->rid;
  return nullptr;
}

STACK_OF(PKCS7_SIGNER_INFO) * signer_infos(const QL_MESSAGE* message) {
  if (message == nullptr || !message->pkcs7) return nullptr;
  PKCS7* p7 = message->pkcs7.get();
  if (PKCS7_type_is_signed(p7) && p7->d.sign != nullptr) return p7->d.sign->signer_info;
  if (PKCS7_type_is_signedAndEnveloped(p7) && p7->d.signed_and_enveloped != nullptr)
    return p7->d.signed_and_enveloped->signer_info;
  return nullptr;
}

PKCS7_SIGNER_INFO* signer_at(const QL_MESSAGE* message, int index) {
  STACK_OF(PKCS7_SIGNER_INFO)* infos = signer_infos(message);
  if (infos == nullptr || index < 0 || index >= sk_PKCS7_SIGNER_INFO_num(infos)) return nullptr;
  return sk_PKCS7_SIGNER_INFO_value(infos, index);
}

char* serial_text(const PKCS7_ISSUER_AND_SERIAL* id) {
  if (id == nullptr || id->serial == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  QL_set_last_error(QL_OK);
  return QL_strdup(mputil_serial_text(id->serial).c_str());
}

char* issuer_text(const PKCS7_ISSUER_AND_SERIAL* id, QL_DN* name) {
  if (id == nullptr || id->issuer == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return nullptr;
  }
  std::array<char, 2048> buffer{};
  if (qcrypto::X509_NAME_oneline(id->issuer, buffer.data(), static_cast<int>(buffer.size())) == nullptr) {
    QL_set_last_error(QL_ERR_MEMORY);
    return nullptr;
  }
  QL_set_last_error(QL_OK);
  if (name != nullptr) {
    if (const int rc = QL_DN_parse(buffer.data(), name); rc != QL_OK) {
      QL_set_last_error(rc);
      return nullptr;
    }
  }
  return QL_strdup(buffer.data());
}

}  // namespace

QL_CERT_LIST* QL_CERT_LIST_new() {
  auto* list = static_cast<QL_CERT_LIST*>(OPENSSL_zalloc(sizeof(QL_CERT_LIST)));
  QL_set_last_error(list != nullptr ? QL_OK : QL_ERR_MEMORY);
  return list;
}

void QL_CERT_LIST_free(QL_CERT_LIST* list) {
  if (list == nullptr) return;
  sk_X509_pop_free(list->certs, X509_free);
  OPENSSL_free(list);
}

int QL_add_recipient_certificate(QL_CERT_LIST* list, int mode, const void* key, const void* second) {
  if (list == nullptr) return QL_ERR_ARGUMENT;
  SessionRef ref;
  const QL_SETTINGS* settings = QL_settings_get();
  if (ref.session == nullptr || settings == nullptr) return QL_ERR_NOT_INITIALISED;
  int code = QL_OK;
  UniquePtr<X509> cert = lookup_cert(ref.session, mode, key, second, &code);
  if (code != QL_OK) return code;
  if (!cert) return QL_ERR_RECIPIENT_CERT;
  ERR_clear_error();
  const ChainCheck chain = ql_check_chain(ref.session->store, cert.get());
  if (!chain.made) return QL_ERR_MEMORY;
  if (!chain.valid) {
    ERR_clear_error();
    // A failed verification without a record of its own reads as the
    // certificate not being found usable.
    return chain.untolerated != 0 ? chain.untolerated : QL_ERR_RECIPIENT_CERT;
  }
  if (list->certs == nullptr) {
    list->certs = sk_X509_new_null();
    if (list->certs == nullptr) return QL_ERR_MEMORY;
  }
  // The list holds the reference from now on.
  X509* const kept = cert.release();
  if (sk_X509_push(list->certs, kept) <= 0) {
    X509_free(kept);
    return QL_ERR_MEMORY;
  }
  return QL_OK;
}

int QL_encrypt_file(QL_CERT_LIST* list, const char* input, const char* output) {
  if (list == nullptr || input == nullptr) return QL_ERR_ARGUMENT;
  const QL_SETTINGS* settings = QL_settings_get();
  if (settings == nullptr) return QL_ERR_NOT_INITIALISED;
  // What fails from here stays queued for the caller's error text.
  qcrypto::ERR_clear_error();
  const long long size = ql_file_size(input);
  ProgressReport progress(QL_STAGE_ENCRYPT, size > 0 ? static_cast<long>(size) : 0);
  if (const int rc = progress.begin(); rc != QL_OK) return rc;
  if (list->certs == nullptr || sk_X509_num(list->certs) == 0) return QL_ERR_RECIPIENT;
  if (input[0] == '\0') return QL_ERR_INPUT;

  UniquePtr<BIO> in = qcrypto::open_regular_file_bio(input);
  FILE* fp = nullptr;
  struct stat st {};
  // The length of the file that was opened, not of whatever the name means now.
  if (!in || BIO_get_fp(in.get(), &fp) != 1 || fp == nullptr || ::fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
    return QL_ERR_INPUT;
  }
  const EVP_CIPHER* cipher = settings->cipher.load();
  if (cipher == nullptr) return QL_ERR_SET_CIPHER;
  const int form = recipient_form(settings->recipient_format.load());
  std::vector<qcrypto::EnvelopeRecipient> recipients;
  qcrypto::RecipInfoList entries;
  for (int i = 0; i < sk_X509_num(list->certs); ++i) {
    X509* cert = sk_X509_value(list->certs, i);
    // A key no recipient entry can be made for is refused here, before any
    // output exists, not when the message is finished.
    if (qcrypto::PKCS7_add_recipient(&entries, cert, form) == nullptr) return QL_ERR_RECIPIENT;
    recipients.push_back({cert, form});
  }

  // Written beside the target and renamed over it only when complete: with
  // no output path the target is the input, which must survive any failure.
  qcrypto::p7::AtomicOutput out(output != nullptr ? output : input);
  if (out.bio() == nullptr) {
    return QL_ERR_OUTPUT;
  }
  const bool pem = settings->output_format.load() == QL_FORMAT_PEM;
  UniquePtr<BIO> base64;
  BIO* sink = out.bio();
  if (pem) {
    base64.reset(BIO_new(BIO_f_base64()));
    if (!base64 || BIO_puts(out.bio(), kPemBegin) <= 0) return QL_ERR_WRITE_MESSAGE;
    sink = BIO_push(base64.get(), out.bio());
  }
  ProgressBridge bridge{&progress};
  const int rc = qcrypto::envelope_encrypt_bio(recipients, cipher, in.get(), static_cast<std::uint64_t>(st.st_size),
                                               sink, {ql_bridge_progress, &bridge});
  if (rc == qcrypto::ENVELOPE_CANCELLED || bridge.code != QL_OK) {
    qcrypto::ERR_clear_error();
    return QL_ERR_CANCELLED;
  }
  if (rc != 1) {
    return QL_ERR_FINISH;
  }
  if (pem) {
    const bool flushed = BIO_flush(base64.get()) == 1;
    BIO_pop(base64.get());
    if (!flushed || BIO_puts(out.bio(), kPemEnd) <= 0) return QL_ERR_WRITE_MESSAGE;
  }
  if (!out.commit()) {
    return QL_ERR_WRITE_MESSAGE;
  }
  return QL_OK;
}

int QL_decrypt_file(const char* input, const char* output) {
  if (input == nullptr) return QL_ERR_ARGUMENT;
  SessionRef ref;
  if (QL_settings_get() == nullptr || ref.session == nullptr) return QL_ERR_NOT_INITIALISED;
  const long long size = ql_file_size(input);
  ProgressReport progress(QL_STAGE_DECRYPT, size > 0 ? static_cast<long>(size) : 0);
  if (const int rc = progress.begin(); rc != QL_OK) return rc;

  std::vector<unsigned char> head;
  if (input[0] == '\0' || !read_head(input, &head)) return QL_ERR_INPUT;
  const int kind = kind_of(head.data(), head.size(), pem_first());
  if (kind == QL_KIND_OTHER) return QL_ERR_NOT_MESSAGE;
  if (kind != QL_KIND_ENVELOPED) return QL_ERR_NOT_ENVELOPED;

  qcrypto::ERR_clear_error();
  const std::vector<SessionKey> keys = mputil_keys(ref.session);
  UniquePtr<STACK_OF(X509)> certs(mputil_certificates(ref.session));
  // Each key with each certificate of its public key: the engine refuses a
  // pair at once when the message has no entry for the certificate, before
  // any output or progress. Only the last failed attempt's errors stay
  // queued: what an earlier pair raised says nothing about the result.
  for (const SessionKey& key : keys) {
    if (!key || key->pkey == nullptr) continue;
    for (int i = 0; i < sk_X509_num(certs.get()); ++i) {
      X509* cert = sk_X509_value(certs.get(), i);
      if (EVP_PKEY_eq(X509_get0_pubkey(cert), key->pkey) != 1) continue;
      qcrypto::ERR_clear_error();
      UniquePtr<BIO> in = qcrypto::open_regular_file_bio(input);
      if (!in) {
        return QL_ERR_INPUT;
      }
      qcrypto::p7::AtomicOutput out(output != nullptr ? output : input);
      if (out.bio() == nullptr) {
        return QL_ERR_OUTPUT;
      }
      ProgressBridge bridge{&progress};
      const int rc = qcrypto::envelope_decrypt_bio(in.get(), key->pkey, cert, out.bio(), {ql_bridge_progress, &bridge});
      if (rc == qcrypto::ENVELOPE_CANCELLED || bridge.code != QL_OK) {
        qcrypto::ERR_clear_error();
        return QL_ERR_CANCELLED;
      }
      if (rc != 1) continue;
      qcrypto::ERR_clear_error();
      // The final report may still cancel: nothing is renamed before it.
      if (const int end = progress.end(); end != QL_OK) return end;
      return out.commit() ? QL_OK : QL_ERR_OUTPUT;
    }
  }
  return QL_ERR_CANNOT_OPEN;
}

int QL_get_file_type(const char* path, int* kind) {
  if (path == nullptr || kind == nullptr) return QL_ERR_ARGUMENT;
  *kind = QL_KIND_OTHER;
  std::vector<unsigned char> head;
  if (path[0] == '\0' || !read_head(path, &head)) return QL_ERR_INPUT;
  *kind = kind_of(head.data(), head.size(), pem_first());
  return QL_OK;
}

int QL_get_buffer_type(const unsigned char* data, long length, int* kind) {
  if (data == nullptr || length < 0 || kind == nullptr) return QL_ERR_ARGUMENT;
  const std::size_t n =
      static_cast<std::size_t>(length) < kPemScanBytes ? static_cast<std::size_t>(length) : kPemScanBytes;
  *kind = kind_of(data, n, pem_first());
  return QL_OK;
}

int QL_read_message_file(const char* path, int* kind, QL_MESSAGE** message) {
  if (kind != nullptr) *kind = QL_KIND_OTHER;
  if (message != nullptr) *message = nullptr;
  if (path == nullptr || kind == nullptr) return QL_ERR_ARGUMENT;
  if (message == nullptr) return QL_get_file_type(path, kind);
  // Mapped, not read: the walk touches the content's pages once and the
  // page cache keeps them, whatever the file's size.
  MappedFile file;
  if (file.open(path) != FileRead::kOk) return QL_ERR_INPUT;
  return decode_message(file.data(), file.size(), kind, message);
}

int QL_read_message_buffer(const unsigned char* data, long length, int* kind, QL_MESSAGE** message) {
  if (kind != nullptr) *kind = QL_KIND_OTHER;
  if (message != nullptr) *message = nullptr;
  if (data == nullptr || length < 0 || kind == nullptr) return QL_ERR_ARGUMENT;
  return decode_message(data, static_cast<std::size_t>(length), kind, message);
}

void QL_free_message(QL_MESSAGE* message) { delete message; }

int QL_recipient_count(const QL_MESSAGE* message) {
  QL_set_last_error(QL_OK);
  if (message == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  return static_cast<int>(message->recipients.size());
}

int QL_signer_count(const QL_MESSAGE* message) {
  QL_set_last_error(QL_OK);
  if (message == nullptr) {
    QL_set_last_error(QL_ERR_ARGUMENT);
    return 0;
  }
  STACK_OF(PKCS7_SIGNER_INFO)* infos = signer_infos(message);
  return infos != nullptr ? sk_PKCS7_SIGNER_INFO_num(infos) : 0;
}

char* QL_recipient_serial(const QL_MESSAGE* message, int index) { return serial_text(recipient_id(message, index)); }

char* QL_recipient_issuer(const QL_MESSAGE* message, int index, QL_DN* name) {
  return issuer_text(recipient_id(message, index), name);
}

char* QL_signer_serial(const QL_MESSAGE* message, int index) {
  const PKCS7_SIGNER_INFO* si = signer_at(message, index);
  return serial_text(si != nullptr ? si->issuer_and_serial : nullptr);
}

char* QL_signer_issuer(const QL_MESSAGE* message, int index, QL_DN* name) {
  const PKCS7_SIGNER_INFO* si = signer_at(message, index);
  return issuer_text(si != nullptr ? si->issuer_and_serial : nullptr, name);
}

char* QL_signer_signing_time(const QL_MESSAGE* message, int index) {
  QL_set_last_error(QL_OK);
  // The same text as a verification records for the signer.
  char* text = QL_signing_time_text(signer_at(message, index));
  if (text == nullptr && QL_get_last_error() == QL_OK) QL_set_last_error(QL_ERR_MEMORY);
  return text;
}

}  // namespace quillon2
