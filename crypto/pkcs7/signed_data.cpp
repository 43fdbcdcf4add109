// The signed-data writer and reader (signed_data.h).
#include "crypto/pkcs7/signed_data.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/asn1t.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <openssl/rsa.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "crypto/cclib/regular_file.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkcs7/p7_stream.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/prov/evp_gost.h"

namespace qcrypto {
namespace {

using p7::append_content_info_head;
using p7::append_header;
using p7::AtomicOutput;
using p7::BerReader;
using p7::Bytes;
using p7::header_size;
using p7::read_full;
using p7::write_all;

// Bounds of what the reader keeps in memory.
constexpr std::uint64_t kMaxAlgSet = 4096;
constexpr std::uint64_t kMaxElement = 64 * 1024;
constexpr std::uint64_t kMaxSetTotal = 1U << 20;
constexpr std::size_t kMaxDigests = 8;
constexpr std::size_t kMaxCerts = 256;
constexpr std::size_t kMaxSigners = 64;
// Blocks read and written at a time while signing.
constexpr int kSignedChunk = 64 * SIGNED_BLOCK;

const unsigned char kSignedOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x02};
const unsigned char kDataOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};

void fail(int func, int reason) { QERR(ERRLIB_PKCS7, func, reason); }

bool report(const EnvelopeProgress& progress, int stage, std::uint64_t done, std::uint64_t total) {
  if (progress.fn == nullptr) return true;
  return progress.fn(stage, static_cast<long>(done), static_cast<long>(total), progress.user) != 0;
}

bool der_less(const Bytes& a, const Bytes& b) {
  const std::size_t n = std::min(a.size(), b.size());
  for (std::size_t i = 0; i < n; ++i) {
    if (a[i] != b[i]) return a[i] < b[i];
  }
  return a.size() < b.size();
}

// DER order of a SET OF, each encoding once.
void der_set_order(std::vector<Bytes>* items) {
  std::sort(items->begin(), items->end(), der_less);
  items->erase(std::unique(items->begin(), items->end()), items->end());
}

template <typename T, typename F>
bool encode(const T* value, F i2d, Bytes* out) {
  unsigned char* der = nullptr;
  const int n = i2d(value, &der);
  if (n <= 0) return false;
  out->assign(der, der + n);
  OPENSSL_free(der);
  return true;
}

std::string oid_text(const ASN1_OBJECT* obj) {
  char buf[96];
  const int n = OBJ_obj2txt(buf, sizeof buf, obj, 1);
  return n > 0 && n < static_cast<int>(sizeof buf) ? std::string(buf) : std::string();
}

std::string sysobj_oid(int number) {
  const auto row = sysobj_find(number);
  return row ? std::string(row->oid) : std::string();
}

enum class KeyKind { kR3410, kEcr3410, kRsa, kEc, kOther };

KeyKind key_kind(const EVP_PKEY* key) {
  if (key == nullptr) return KeyKind::kOther;
  if (EVP_PKEY_is_a(key, "R3410") == 1) return KeyKind::kR3410;
  if (EVP_PKEY_is_a(key, "ECR3410") == 1) return KeyKind::kEcr3410;
  if (EVP_PKEY_is_a(key, "RSA") == 1) return KeyKind::kRsa;
  if (EVP_PKEY_is_a(key, "EC") == 1) return KeyKind::kEc;
  return KeyKind::kOther;
}

bool is_sha(const EVP_MD* md) {
  for (const char* name : {"SHA1", "SHA2-224", "SHA2-256", "SHA2-384", "SHA2-512"}) {
    if (EVP_MD_is_a(md, name) == 1) return true;
  }
  return false;
}

// The digest a key signs over, and its OID; a GOST signature over another
// digest than GOST R 34.11-94 would prove nothing.
struct DigestChoice {
  const EVP_MD* md = nullptr;
  std::string oid;
};

bool choose_digest(KeyKind kind, const EVP_MD* asked, DigestChoice* out) {
  switch (kind) {
    case KeyKind::kR3410:
      out->md = EVP_rus_hash();
      out->oid = sysobj_oid(SYSOBJ_RUS_HASH);
      break;
    case KeyKind::kEcr3410:
      out->md = EVP_ecr3410();
      out->oid = sysobj_oid(SYSOBJ_ECR3410_R3411);
      break;
    case KeyKind::kRsa:
    case KeyKind::kEc: {
      static EVP_MD* sha256 = EVP_MD_fetch(nullptr, "SHA2-256", nullptr);
      const EVP_MD* md = asked != nullptr ? asked : sha256;
      if (md == nullptr || !(is_sha(md) || (kind == KeyKind::kRsa && EVP_MD_is_a(md, "MD5") == 1))) return false;
      out->md = md;
      out->oid = oid_text(OBJ_nid2obj(EVP_MD_get_type(md)));
      break;
    }
    case KeyKind::kOther:
      return false;
  }
  return out->md != nullptr && !out->oid.empty();
}

// Whether a digest (by OID) may go with a key in a message being read.
bool digest_allowed(KeyKind kind, const EVP_MD* md) {
  switch (kind) {
    case KeyKind::kR3410:
    case KeyKind::kEcr3410:
      // Both names are GOST R 34.11-94.
      return EVP_MD_is_a(md, "RUS-HASH") == 1 || EVP_MD_is_a(md, "ECR3410-R3411") == 1;
    case KeyKind::kRsa:
      return is_sha(md) || EVP_MD_is_a(md, "MD5") == 1;
    case KeyKind::kEc:
      return is_sha(md);
    case KeyKind::kOther:
      break;
  }
  return false;
}

// Whether the signature algorithm of a SignerInfo names the key's type: the
// key's own OID, or a signature OID over that key type.
bool signature_alg_matches(KeyKind kind, const ASN1_OBJECT* alg) {
  const std::string oid = oid_text(alg);
  switch (kind) {
    case KeyKind::kR3410:
      return oid == sysobj_oid(SYSOBJ_R3410) || oid == sysobj_oid(SYSOBJ_R3410_R3411);
    case KeyKind::kEcr3410:
      return oid == sysobj_oid(SYSOBJ_ECR3410) || oid == sysobj_oid(SYSOBJ_ECR3410_R3411);
    case KeyKind::kRsa:
    case KeyKind::kEc: {
      const int want = kind == KeyKind::kRsa ? NID_rsaEncryption : NID_X9_62_id_ecPublicKey;
      const int nid = OBJ_obj2nid(alg);
      int pk = NID_undef;
      return nid == want || (OBJ_find_sigid_algs(nid, nullptr, &pk) == 1 && pk == want);
    }
    case KeyKind::kOther:
      break;
  }
  return false;
}

// Signature algorithm written into a SignerInfo: the key type's OID (with
// NULL parameters for GOST and RSA), ecdsa-with-<digest> for ECDSA.
bool set_signature_alg(KeyKind kind, const EVP_MD* md, X509_ALGOR* alg) {
  int nid = NID_undef;
  int ptype = V_ASN1_NULL;
  switch (kind) {
    case KeyKind::kR3410:
    case KeyKind::kEcr3410: {
      UniquePtr<ASN1_OBJECT> obj(
          OBJ_txt2obj(sysobj_oid(kind == KeyKind::kR3410 ? SYSOBJ_R3410 : SYSOBJ_ECR3410).c_str(), 1));
      if (!obj) return false;
      ASN1_OBJECT* owned = obj.release();
      if (X509_ALGOR_set0(alg, owned, V_ASN1_NULL, nullptr) != 1) {
        ASN1_OBJECT_free(owned);
        return false;
      }
      return true;
    }
    case KeyKind::kRsa:
      nid = NID_rsaEncryption;
      break;
    case KeyKind::kEc:
      if (OBJ_find_sigid_by_algs(&nid, EVP_MD_get_type(md), NID_X9_62_id_ecPublicKey) != 1) return false;
      ptype = V_ASN1_UNDEF;
      break;
    case KeyKind::kOther:
      return false;
  }
  return X509_ALGOR_set0(alg, OBJ_nid2obj(nid), ptype, nullptr) == 1;
}

// The signature of a ready digest (PKCS#1 v1.5 DigestInfo for RSA).
bool sign_digest(EVP_PKEY* key, KeyKind kind, const EVP_MD* md, const unsigned char* dgst, std::size_t dlen,
                 Bytes* sig) {
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  std::size_t n = 0;
  if (!ctx || EVP_PKEY_sign_init(ctx.get()) != 1) return false;
  if (kind == KeyKind::kRsa && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
                                EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)) {
    return false;
  }
  if (EVP_PKEY_sign(ctx.get(), nullptr, &n, dgst, dlen) != 1) return false;
  sig->resize(n);
  if (EVP_PKEY_sign(ctx.get(), sig->data(), &n, dgst, dlen) != 1) return false;
  sig->resize(n);
  return true;
}

bool verify_digest(EVP_PKEY* key, KeyKind kind, const EVP_MD* md, const unsigned char* dgst, std::size_t dlen,
                   const ASN1_OCTET_STRING* sig) {
  UniquePtr<EVP_PKEY_CTX> ctx(EVP_PKEY_CTX_new_from_pkey(nullptr, key, nullptr));
  if (!ctx || sig == nullptr || EVP_PKEY_verify_init(ctx.get()) != 1) return false;
  if (kind == KeyKind::kRsa && (EVP_PKEY_CTX_set_rsa_padding(ctx.get(), RSA_PKCS1_PADDING) != 1 ||
                                EVP_PKEY_CTX_set_signature_md(ctx.get(), md) != 1)) {
    return false;
  }
  return EVP_PKEY_verify(ctx.get(), ASN1_STRING_get0_data(sig), static_cast<std::size_t>(ASN1_STRING_length(sig)), dgst,
                         dlen) == 1;
}

// One running digest of the content per distinct digest algorithm.
struct ContentDigest {
  std::string oid;
  const EVP_MD* md = nullptr;
  UniquePtr<EVP_MD> owned;
  UniquePtr<EVP_MD_CTX> ctx;
  std::array<unsigned char, EVP_MAX_MD_SIZE> value{};
  unsigned int length = 0;
};

bool digests_start(std::vector<ContentDigest>* digests) {
  for (auto& d : *digests) {
    d.ctx.reset(EVP_MD_CTX_new());
    if (!d.ctx || EVP_DigestInit_ex2(d.ctx.get(), d.md, nullptr) != 1) return false;
  }
  return true;
}

bool digests_update(std::vector<ContentDigest>* digests, const unsigned char* data, std::size_t n) {
  for (auto& d : *digests) {
    if (EVP_DigestUpdate(d.ctx.get(), data, n) != 1) return false;
  }
  return true;
}

bool digests_finish(std::vector<ContentDigest>* digests) {
  for (auto& d : *digests) {
    if (EVP_DigestFinal_ex(d.ctx.get(), d.value.data(), &d.length) != 1) return false;
  }
  return true;
}

// Signed attributes in the order they are signed: the DER SET (which
// sorts the record's own list too, so the SignerInfo carries that order).
bool attributes_der(PKCS7_SIGNER_INFO* si, const ASN1_ITEM* item, Bytes* out) {
  unsigned char* der = nullptr;
  const int n = ASN1_item_i2d(reinterpret_cast<ASN1_VALUE*>(si->auth_attr), &der, item);
  if (n <= 0) return false;
  out->assign(der, der + n);
  OPENSSL_free(der);
  return true;
}

// --- writer -------------------------------------------------------------------

struct PreparedSigner {
  const SignedSigner* in;
  KeyKind kind;
  DigestChoice digest;
};

// A signer's record with everything but the signature value: the digest
// of the content in the messageDigest attribute.
UniquePtr<PKCS7_SIGNER_INFO> unsigned_signer_info(const PreparedSigner& s, const unsigned char* digest,
                                                  unsigned int digest_length, const SignedOptions& options) {
  UniquePtr<PKCS7_SIGNER_INFO> si(PKCS7_SIGNER_INFO_new());
  if (!si || ASN1_INTEGER_set(si->version, 1) != 1 ||
      X509_NAME_set(&si->issuer_and_serial->issuer, X509_get_issuer_name(s.in->cert)) != 1) {
    return nullptr;
  }
  ASN1_INTEGER* serial = ASN1_INTEGER_dup(X509_get0_serialNumber(s.in->cert));
  if (serial == nullptr) return nullptr;
  ASN1_INTEGER_free(si->issuer_and_serial->serial);
  si->issuer_and_serial->serial = serial;
  UniquePtr<ASN1_OBJECT> dobj(OBJ_txt2obj(s.digest.oid.c_str(), 1));
  if (!dobj) return nullptr;
  ASN1_OBJECT* digest_obj = dobj.release();
  if (X509_ALGOR_set0(si->digest_alg, digest_obj, V_ASN1_NULL, nullptr) != 1) {
    ASN1_OBJECT_free(digest_obj);
    return nullptr;
  }
  if (!set_signature_alg(s.kind, s.digest.md, si->digest_enc_alg)) return nullptr;

  if (PKCS7_add_signed_attribute(si.get(), NID_pkcs9_contentType, V_ASN1_OBJECT, OBJ_nid2obj(NID_pkcs7_data)) != 1) {
    return nullptr;
  }
  if (options.signing_time) {
    // UTCTime up to 2049, GeneralizedTime after, as RFC 5652 asks.
    ASN1_TIME* t = ASN1_TIME_set(nullptr, *options.signing_time);
    if (t == nullptr) return nullptr;
    if (PKCS7_add0_attrib_signing_time(si.get(), t) != 1) {
      ASN1_TIME_free(t);
      return nullptr;
    }
  }
  if (PKCS7_add1_attrib_digest(si.get(), digest, static_cast<int>(digest_length)) != 1) return nullptr;
  return si;
}

bool make_signer_info(const PreparedSigner& s, const ContentDigest& content, const SignedOptions& options, Bytes* out) {
  UniquePtr<PKCS7_SIGNER_INFO> si = unsigned_signer_info(s, content.value.data(), content.length, options);
  Bytes attrs;
  std::array<unsigned char, EVP_MAX_MD_SIZE> dgst{};
  unsigned int dlen = 0;
  Bytes sig;
  if (!si || !attributes_der(si.get(), ASN1_ITEM_rptr(PKCS7_ATTR_SIGN), &attrs) ||
      EVP_Digest(attrs.data(), attrs.size(), dgst.data(), &dlen, s.digest.md, nullptr) != 1 ||
      !sign_digest(s.in->key, s.kind, s.digest.md, dgst.data(), dlen, &sig) ||
      ASN1_OCTET_STRING_set(si->enc_digest, sig.data(), static_cast<int>(sig.size())) != 1) {
    return false;
  }
  return encode(si.get(), i2d_PKCS7_SIGNER_INFO, out);
}

// The longest a signer's record can come out: its signature at the key's
// largest size (DER signatures are shorter when r or s is).
bool signer_info_bound(const PreparedSigner& s, const SignedOptions& options, std::uint64_t* out) {
  const int dlen = EVP_MD_get_size(s.digest.md);
  const int slen = EVP_PKEY_get_size(s.in->key);
  if (dlen <= 0 || slen <= 0) return false;
  const Bytes zeros(static_cast<std::size_t>(std::max(dlen, slen)), 0);
  UniquePtr<PKCS7_SIGNER_INFO> si = unsigned_signer_info(s, zeros.data(), static_cast<unsigned int>(dlen), options);
  Bytes der;
  if (!si || ASN1_OCTET_STRING_set(si->enc_digest, zeros.data(), slen) != 1 ||
      !encode(si.get(), i2d_PKCS7_SIGNER_INFO, &der)) {
    return false;
  }
  *out = der.size();
  return true;
}

std::uint64_t total_size(const std::vector<Bytes>& items) {
  std::uint64_t n = 0;
  for (const auto& e : items) n += e.size();
  return n;
}

// What surrounds the content and does not depend on it: the digest
// algorithms and the certificates, each SET in DER order.
struct Frame {
  std::vector<Bytes> algs;
  std::vector<Bytes> certs;
};

bool make_frame(const std::vector<PreparedSigner>& prepared, const SignedOptions& options, Frame* frame) {
  for (const auto& p : prepared) {
    UniquePtr<X509_ALGOR> alg(X509_ALGOR_new());
    UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(p.digest.oid.c_str(), 1));
    Bytes alg_der;
    ASN1_OBJECT* alg_obj = obj ? obj.release() : nullptr;
    if (!alg || alg_obj == nullptr || X509_ALGOR_set0(alg.get(), alg_obj, V_ASN1_NULL, nullptr) != 1) {
      ASN1_OBJECT_free(alg_obj);
      return false;
    }
    if (!encode(alg.get(), i2d_X509_ALGOR, &alg_der)) return false;
    frame->algs.push_back(std::move(alg_der));
    if (options.include_certs) {
      Bytes cert;
      if (!encode(p.in->cert, i2d_X509, &cert)) return false;
      frame->certs.push_back(std::move(cert));
    }
  }
  der_set_order(&frame->algs);
  der_set_order(&frame->certs);
  return true;
}

// Everything ahead of the content bytes, for signer records of `infos_len`
// bytes in all.
Bytes message_head(const Frame& frame, std::uint64_t infos_len, std::uint64_t length, bool detached) {
  const std::uint64_t algs_len = total_size(frame.algs);
  const std::uint64_t certs_len = total_size(frame.certs);
  const std::uint64_t octets = detached ? 0 : header_size(length) + length;
  const std::uint64_t explicit_content = detached ? 0 : header_size(octets) + octets;
  const std::uint64_t eci_len = sizeof kDataOid + explicit_content;
  const std::uint64_t sd_len = 3 + header_size(algs_len) + algs_len + header_size(eci_len) + eci_len +
                               (frame.certs.empty() ? 0 : header_size(certs_len) + certs_len) + header_size(infos_len) +
                               infos_len;

  Bytes head;
  append_content_info_head(&head, kSignedOid, sd_len, 1);
  append_header(&head, 0x31, algs_len);
  for (const auto& e : frame.algs) head.insert(head.end(), e.begin(), e.end());
  append_header(&head, 0x30, eci_len);
  head.insert(head.end(), std::begin(kDataOid), std::end(kDataOid));
  if (!detached) {
    append_header(&head, 0xa0, octets);
    append_header(&head, 0x04, length);
  }
  return head;
}

// Everything after the content: certificates and signer records.
Bytes message_tail(const Frame& frame, const std::vector<Bytes>& infos) {
  Bytes tail;
  if (!frame.certs.empty()) {
    append_header(&tail, 0xa0, total_size(frame.certs));
    for (const auto& e : frame.certs) tail.insert(tail.end(), e.begin(), e.end());
  }
  append_header(&tail, 0x31, total_size(infos));
  for (const auto& e : infos) tail.insert(tail.end(), e.begin(), e.end());
  return tail;
}

// The descriptor of an output whose head can be written again once the
// signatures are known: a regular file behind a descriptor or FILE BIO with
// no filter ahead of it, open for reading and writing and not appending.
// -1 for anything else.
int rewritable_fd(BIO* out) {
  int fd = -1;
  if (BIO_method_type(out) == BIO_TYPE_FD) {
    BIO_get_fd(out, &fd);
  } else if (BIO_method_type(out) == BIO_TYPE_FILE) {
    FILE* fp = nullptr;
    if (BIO_get_fp(out, &fp) == 1 && fp != nullptr) fd = fileno(fp);
  }
  struct stat st {};
  if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  const int flags = fcntl(fd, F_GETFL);
  if (flags < 0 || (flags & O_APPEND) != 0 || (flags & O_ACCMODE) != O_RDWR) return -1;
  return fd;
}

// BIO_tell and BIO_seek cut the position to an int: files pass 2 GiB.
long bio_tell(BIO* b) { return BIO_ctrl(b, BIO_C_FILE_TELL, 0, nullptr); }
bool bio_seek(BIO* b, long at) { return BIO_ctrl(b, BIO_C_FILE_SEEK, at, nullptr) >= 0; }

// pread or pwrite of all `n` bytes at `at`, through short transfers and
// interruptions.
template <typename Byte, typename Transfer>
bool transfer_all(Transfer transfer, int fd, Byte* data, std::size_t n, off_t at) {
  while (n > 0) {
    const ssize_t done = transfer(fd, data, n, at);
    if (done < 0 && errno == EINTR) continue;
    if (done <= 0) return false;
    data += done;
    n -= static_cast<std::size_t>(done);
    at += done;
  }
  return true;
}

bool pwrite_all(int fd, const unsigned char* data, std::size_t n, off_t at) {
  return transfer_all(pwrite, fd, data, n, at);
}
bool pread_all(int fd, unsigned char* data, std::size_t n, off_t at) { return transfer_all(pread, fd, data, n, at); }

// Moves `length` bytes of the file down from `from` to `to` (< from); the
// ranges may overlap: each piece is read before anything is written over it.
bool move_down(int fd, off_t from, off_t to, std::uint64_t length) {
  std::vector<unsigned char> buf(std::min<std::uint64_t>(length, 1U << 16));
  for (std::uint64_t done = 0; done < length;) {
    const std::size_t n = static_cast<std::size_t>(std::min<std::uint64_t>(length - done, buf.size()));
    const auto at = static_cast<off_t>(done);
    if (!pread_all(fd, buf.data(), n, from + at) || !pwrite_all(fd, buf.data(), n, to + at)) return false;
    done += n;
  }
  return true;
}

// The content went out behind a head laid out for the longest signatures
// (`laid_out` bytes at `head_at`); the real head goes over it. When one of
// its lengths dropped below a byte boundary the head is shorter and the
// content moves down with it; the output is left at the content's end.
bool finish_head(BIO* out, int fd, off_t head_at, std::size_t laid_out, const Bytes& head, std::uint64_t length) {
  if (head.size() > laid_out || BIO_flush(out) != 1) return false;
  if (head.size() < laid_out) {
    const off_t to = head_at + static_cast<off_t>(head.size());
    if (!move_down(fd, head_at + static_cast<off_t>(laid_out), to, length) ||
        !bio_seek(out, static_cast<long>(to + static_cast<off_t>(length)))) {
      return false;
    }
  }
  return pwrite_all(fd, head.data(), head.size(), head_at);
}

int sign_stream(std::span<const SignedSigner> signers, BIO* in, std::uint64_t length, BIO* out,
                const SignedOptions& options, const EnvelopeProgress& progress) {
  constexpr int F = P7S_F_PKCS7_DATAFINAL;
  if (signers.empty() || in == nullptr || out == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  std::vector<PreparedSigner> prepared;
  std::vector<ContentDigest> digests;
  for (const auto& s : signers) {
    if (s.key == nullptr || s.cert == nullptr) {
      fail(F, ERR_R_PASSED_NULL);
      return 0;
    }
    PreparedSigner p{&s, key_kind(s.key), {}};
    if (!choose_digest(p.kind, s.md, &p.digest)) {
      fail(F, P7S_R_SIGNING_NOT_SUPPORTED_FOR_THIS_KEY_TYPE);
      return 0;
    }
    if (EVP_PKEY_eq(X509_get0_pubkey(s.cert), s.key) != 1) {
      fail(F, P7S_R_PRIVATE_KEY_DOES_NOT_MATCH_CERTIFICATE);
      return 0;
    }
    if (std::none_of(digests.begin(), digests.end(), [&](const ContentDigest& d) { return d.oid == p.digest.oid; })) {
      ContentDigest d;
      d.oid = p.digest.oid;
      d.md = p.digest.md;
      digests.push_back(std::move(d));
    }
    prepared.push_back(p);
  }
  Frame frame;
  if (!make_frame(prepared, options, &frame)) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  // Attached content is copied as it is digested when the output's head can
  // be written again at the end; otherwise (memory, filters) it is read a
  // second time, which needs a seekable input.
  const int out_fd = options.detached ? -1 : rewritable_fd(out);
  const bool one_pass = out_fd >= 0;
  const long start = options.detached || one_pass ? 0 : bio_tell(in);
  if (start < 0) {
    fail(F, P7S_R_NO_CONTENT);
    return 0;
  }
  Bytes laid_out;
  long head_at = 0;
  if (one_pass) {
    std::uint64_t bound = 0;
    for (const auto& p : prepared) {
      std::uint64_t n = 0;
      if (!signer_info_bound(p, options, &n)) {
        fail(F, P7S_R_SIGNATURE_FAILURE);
        return 0;
      }
      bound += n;
    }
    laid_out = message_head(frame, bound, length, false);
    if (BIO_flush(out) != 1 || (head_at = bio_tell(out)) < 0 || !write_all(out, laid_out.data(), laid_out.size())) {
      fail(F, P7E_R_OUTPUT);
      return 0;
    }
  }

  // Digest pass (and copy, in one pass).
  if (!digests_start(&digests)) {
    fail(F, P7S_R_DIGEST_FAILURE);
    return 0;
  }
  if (!report(progress, SIGNED_STAGE_SIGN, 0, length)) {
    fail(F, P7E_R_CANCELLED);
    return SIGNED_CANCELLED;
  }
  // The input is read, and the copy written, a chunk of blocks at a time (a
  // system call per block is a sizeable share of the hash's time in a
  // virtual machine); digest and progress calls still go block by block.
  std::vector<unsigned char> chunk(kSignedChunk);
  std::uint64_t done = 0;
  for (;;) {
    const int n = read_full(in, chunk.data(), kSignedChunk);
    if (n <= 0) break;
    for (int at = 0; at < n; at += SIGNED_BLOCK) {
      const int b = std::min(SIGNED_BLOCK, n - at);
      done += static_cast<std::uint64_t>(b);
      if (done > length || !digests_update(&digests, chunk.data() + at, static_cast<std::size_t>(b))) {
        fail(F, done > length ? static_cast<int>(P7E_R_CONTENT_LENGTH) : static_cast<int>(P7S_R_DIGEST_FAILURE));
        return 0;
      }
      if (!report(progress, SIGNED_STAGE_SIGN, done, length)) {
        fail(F, P7E_R_CANCELLED);
        return SIGNED_CANCELLED;
      }
    }
    if (one_pass && !write_all(out, chunk.data(), static_cast<std::size_t>(n))) {
      fail(F, P7E_R_OUTPUT);
      return 0;
    }
    if (n < kSignedChunk) break;
  }
  if (done != length) {
    fail(F, P7E_R_CONTENT_LENGTH);
    return 0;
  }
  if (!digests_finish(&digests)) {
    fail(F, P7S_R_DIGEST_FAILURE);
    return 0;
  }

  // Signer records: a SET in DER order.
  std::vector<Bytes> infos;
  for (const auto& p : prepared) {
    const auto& d =
        *std::find_if(digests.begin(), digests.end(), [&](const ContentDigest& c) { return c.oid == p.digest.oid; });
    Bytes info;
    if (!make_signer_info(p, d, options, &info)) {
      fail(F, P7S_R_SIGNATURE_FAILURE);
      return 0;
    }
    infos.push_back(std::move(info));
  }
  der_set_order(&infos);
  const Bytes head = message_head(frame, total_size(infos), length, options.detached);

  if (one_pass) {
    if (!finish_head(out, out_fd, static_cast<off_t>(head_at), laid_out.size(), head, length)) {
      fail(F, P7E_R_OUTPUT);
      return 0;
    }
  } else {
    if (!write_all(out, head.data(), head.size())) {
      fail(F, P7E_R_OUTPUT);
      return 0;
    }
    if (!options.detached) {
      // Copy pass: exactly the bytes that were digested, by count.
      if (!bio_seek(in, start)) {
        fail(F, P7S_R_NO_CONTENT);
        return 0;
      }
      std::uint64_t copied = 0;
      while (copied < length) {
        const int want = static_cast<int>(std::min<std::uint64_t>(length - copied, kSignedChunk));
        const int n = read_full(in, chunk.data(), want);
        if (n != want || !write_all(out, chunk.data(), static_cast<std::size_t>(n))) {
          fail(F, n != want ? P7E_R_CONTENT_LENGTH : P7E_R_OUTPUT);
          return 0;
        }
        copied += static_cast<std::uint64_t>(n);
      }
    }
  }
  const Bytes tail = message_tail(frame, infos);
  if (!write_all(out, tail.data(), tail.size()) || BIO_flush(out) != 1) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

// --- reader -------------------------------------------------------------------

bool expect_tlv(BerReader* r, const unsigned char* want, std::size_t length) {
  Bytes got;
  return r->tlv(&got, 64) && got.size() == length && std::memcmp(got.data(), want, length) == 0;
}

// The elements of a SET (definite or indefinite, header already read), each
// a whole TLV of at most kMaxElement bytes; false past the bounds.
bool read_elements(BerReader* r, const BerReader::Header& h, std::size_t max_count, std::vector<Bytes>* out) {
  if (!r->open(h)) return false;
  std::uint64_t total = 0;
  for (;;) {
    if (!h.indefinite && r->peek_eoc_or_end()) return r->close();
    BerReader::Header e;
    const std::uint64_t at = r->offset();
    if (!r->header(&e)) return false;
    if (h.indefinite && e.tag == 0 && e.length == 0 && !e.indefinite) return r->close_consumed();
    if (e.indefinite || e.length > kMaxElement || out->size() >= max_count) return false;
    Bytes tlv;
    append_header(&tlv, static_cast<unsigned char>(e.tag), e.length);
    if (tlv.size() != r->offset() - at) return false;  // not minimal
    const std::size_t hl = tlv.size();
    tlv.resize(hl + static_cast<std::size_t>(e.length));
    if (!r->read(tlv.data() + hl, e.length)) return false;
    total += tlv.size();
    if (total > kMaxSetTotal) return false;
    out->push_back(std::move(tlv));
  }
}

// Whether the content is a DER SET OF Attribute naming a content type and a
// message digest. A signature made over such signed attributes (their digest)
// also checks out as a signature without attributes over that very content,
// so a signer without attributes is not trusted over it. Fed the content as
// it streams; keeps no more than one element's opening.
class AttributeSetScan {
 public:
  void feed(const unsigned char* data, std::size_t n) {
    while (n > 0 && state_ != State::kNo) {
      if (state_ == State::kSkip) {
        const std::size_t step = static_cast<std::size_t>(std::min<std::uint64_t>(skip_, n));
        skip_ -= step;
        data += step;
        n -= step;
        if (skip_ == 0) state_ = set_left_ == 0 ? State::kDone : State::kElement;
        continue;
      }
      if (state_ == State::kDone || have_ == head_.size()) {
        state_ = State::kNo;  // bytes after the set, or an opening past any attribute type's
        break;
      }
      head_[have_++] = *data++;
      --n;
      if (state_ == State::kSet) {
        take_set_header();
      } else {
        take_element_opening();
      }
    }
  }
  bool matches() const { return state_ == State::kDone && content_type_ && message_digest_; }

 private:
  enum class State { kSet, kElement, kSkip, kDone, kNo };
  // A definite header of `tag` at the start of head_[at..have_): its size, 0
  // while incomplete, -1 when it is something else.
  int header_at(std::size_t at, unsigned char tag, std::uint64_t* length) const {
    if (have_ <= at) return 0;
    if (head_[at] != tag) return -1;
    if (have_ <= at + 1) return 0;
    const unsigned char first = head_[at + 1];
    if (first < 0x80) {
      *length = first;
      return 2;
    }
    const std::size_t count = first & 0x7fU;
    if (count == 0 || count > 8) return -1;
    if (have_ < at + 2 + count) return 0;
    std::uint64_t v = 0;
    for (std::size_t i = 0; i < count; ++i) v = (v << 8) | head_[at + 2 + i];
    *length = v;
    return static_cast<int>(2 + count);
  }
  void take_set_header() {
    std::uint64_t length = 0;
    const int size = header_at(0, 0x31, &length);
    if (size < 0) state_ = State::kNo;
    if (size <= 0) return;
    set_left_ = length;
    have_ = 0;
    state_ = length == 0 ? State::kDone : State::kElement;
  }
  // SEQUENCE { OBJECT IDENTIFIER, SET OF values }, up to the values' header.
  void take_element_opening() {
    std::uint64_t seq_length = 0;
    const int seq = header_at(0, 0x30, &seq_length);
    std::uint64_t oid_length = 0;
    const int oid = seq > 0 ? header_at(static_cast<std::size_t>(seq), 0x06, &oid_length) : seq;
    if (oid > 0 && oid_length > kMaxOid) {
      state_ = State::kNo;
      return;
    }
    const std::size_t values_at =
        static_cast<std::size_t>(seq) + static_cast<std::size_t>(oid) + static_cast<std::size_t>(oid_length);
    std::uint64_t values_length = 0;
    const int values = oid > 0 ? header_at(values_at, 0x31, &values_length) : oid;
    if (values < 0) state_ = State::kNo;
    if (values <= 0) return;
    const std::uint64_t head = static_cast<std::uint64_t>(seq);
    const std::uint64_t inside = values_at - static_cast<std::size_t>(seq) + static_cast<std::size_t>(values);
    // The element is whole inside the set, and the values fill the element.
    if (set_left_ < head || seq_length > set_left_ - head || seq_length < inside ||
        seq_length - inside != values_length) {
      state_ = State::kNo;
      return;
    }
    const std::span<const unsigned char> type(head_.data() + seq, static_cast<std::size_t>(oid) + oid_length);
    content_type_ = content_type_ || std::ranges::equal(type, kContentTypeOid);
    message_digest_ = message_digest_ || std::ranges::equal(type, kMessageDigestOid);
    set_left_ -= head + seq_length;
    skip_ = values_length;
    have_ = 0;
    state_ = skip_ > 0 ? State::kSkip : (set_left_ == 0 ? State::kDone : State::kElement);
  }

  static constexpr std::uint64_t kMaxOid = 64;
  static constexpr unsigned char kContentTypeOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x09, 0x03};
  static constexpr unsigned char kMessageDigestOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86,
                                                        0xf7, 0x0d, 0x01, 0x09, 0x04};
  State state_ = State::kSet;
  std::array<unsigned char, 10 + 10 + kMaxOid + 10> head_{};
  std::size_t have_ = 0;
  std::uint64_t set_left_ = 0;
  std::uint64_t skip_ = 0;
  bool content_type_ = false;
  bool message_digest_ = false;
};

struct VerifyState {
  BIO* content_out;
  // A memory reader's content, left where it lies: the runs of the input.
  std::vector<std::span<const unsigned char>>* content_runs = nullptr;
  EnvelopeProgress progress;
  std::vector<ContentDigest>* digests;
  AttributeSetScan attributes;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::array<unsigned char, SIGNED_BLOCK> block{};
};

// Streams `n` content bytes; 1, 0, or cancelled.
int content_run(BerReader* r, BIO* plain, VerifyState* st, std::uint64_t n, bool until_end) {
  while (until_end || n > 0) {
    const int chunk = static_cast<int>(until_end ? SIGNED_BLOCK : std::min<std::uint64_t>(n, SIGNED_BLOCK));
    int got = chunk;
    const unsigned char* data = st->block.data();
    if (r != nullptr && r->in_memory()) {
      // Digested (and handed on) from the input itself: no copy.
      data = r->view(static_cast<std::uint64_t>(chunk));
      if (data == nullptr) return 0;
    } else if (r != nullptr) {
      if (!r->read(st->block.data(), static_cast<std::uint64_t>(chunk))) return 0;
    } else {
      got = read_full(plain, st->block.data(), chunk);
      if (got <= 0) break;
    }
    if (!digests_update(st->digests, data, static_cast<std::size_t>(got))) return 0;
    st->attributes.feed(data, static_cast<std::size_t>(got));
    if (st->content_out != nullptr && !write_all(st->content_out, data, static_cast<std::size_t>(got))) return 0;
    if (st->content_runs != nullptr && r != nullptr && got > 0) {
      auto& runs = *st->content_runs;
      if (!runs.empty() && runs.back().data() + runs.back().size() == data) {
        runs.back() = {runs.back().data(), runs.back().size() + static_cast<std::size_t>(got)};
      } else {
        runs.emplace_back(data, static_cast<std::size_t>(got));
      }
    }
    if (!until_end) n -= static_cast<std::uint64_t>(got);
    st->done += static_cast<std::uint64_t>(got);
    if (!report(st->progress, SIGNED_STAGE_VERIFY, st->done, st->total)) return SIGNED_CANCELLED;
    if (until_end && got < chunk) break;
  }
  return 1;
}

// The attached content: [0] { OCTET STRING } with the string primitive or
// constructed of primitive pieces. 1, 0, or cancelled.
int read_attached(BerReader* r, VerifyState* st) {
  BerReader::Header h;
  if (!r->header(&h) || (h.tag != 0x04 && h.tag != 0x24)) return 0;
  if (st->total == 0 && h.tag == 0x04) st->total = h.length;
  if (!report(st->progress, SIGNED_STAGE_VERIFY, 0, st->total)) return SIGNED_CANCELLED;
  if (h.tag == 0x04) return content_run(r, nullptr, st, h.length, false);
  if (!r->open(h)) return 0;
  for (;;) {
    if (!h.indefinite && r->peek_eoc_or_end()) return r->close() ? 1 : 0;
    BerReader::Header piece;
    if (!r->header(&piece)) return 0;
    if (h.indefinite && piece.tag == 0 && piece.length == 0 && !piece.indefinite) return r->close_consumed() ? 1 : 0;
    if (piece.tag != 0x04 || piece.indefinite) return 0;
    const int rc = content_run(r, nullptr, st, piece.length, false);
    if (rc != 1) return rc;
  }
}

// Whether a definite element ends here (its OPTIONAL tail absent).
bool closes_here(BerReader* r, const BerReader::Header& outer) { return !outer.indefinite && r->peek_eoc_or_end(); }

bool same_issuer_serial(X509* cert, const PKCS7_ISSUER_AND_SERIAL* ias) {
  return X509_NAME_cmp(X509_get_issuer_name(cert), ias->issuer) == 0 &&
         ASN1_INTEGER_cmp(X509_get0_serialNumber(cert), ias->serial) == 0;
}

void check_signer(const std::vector<ContentDigest>& digests, const ASN1_OBJECT* content_type,
                  bool content_is_attributes, const std::vector<UniquePtr<X509>>& message_certs,
                  std::span<X509* const> extra, SignerResult* res) {
  PKCS7_SIGNER_INFO* si = res->info.get();
  X509* cert = nullptr;
  for (const auto& c : message_certs) {
    if (same_issuer_serial(c.get(), si->issuer_and_serial)) {
      cert = c.get();
      res->cert_from_message = true;
      break;
    }
  }
  for (std::size_t i = 0; cert == nullptr && i < extra.size(); ++i) {
    if (extra[i] != nullptr && same_issuer_serial(extra[i], si->issuer_and_serial)) cert = extra[i];
  }
  if (const ASN1_TYPE* t = PKCS7_get_signed_attribute(si, NID_pkcs9_signingTime);
      t != nullptr && (t->type == V_ASN1_UTCTIME || t->type == V_ASN1_GENERALIZEDTIME)) {
    res->signing_time.reset(ASN1_STRING_dup(t->value.asn1_string));
  }
  if (cert == nullptr) {
    res->status = SignerStatus::kNoCertificate;
    return;
  }
  X509_up_ref(cert);
  res->cert.reset(cert);

  res->status = SignerStatus::kUnsupported;
  EVP_PKEY* key = X509_get0_pubkey(cert);
  const KeyKind kind = key_kind(key);
  const std::string doid = oid_text(si->digest_alg->algorithm);
  const auto d = std::find_if(digests.begin(), digests.end(), [&](const ContentDigest& c) { return c.oid == doid; });
  if (d == digests.end() || !digest_allowed(kind, d->md) ||
      !signature_alg_matches(kind, si->digest_enc_alg->algorithm)) {
    return;
  }
  std::array<unsigned char, EVP_MAX_MD_SIZE> tbs{};
  unsigned int tlen = 0;
  if (sk_X509_ATTRIBUTE_num(si->auth_attr) > 0) {
    const ASN1_TYPE* ct = PKCS7_get_signed_attribute(si, NID_pkcs9_contentType);
    ASN1_OCTET_STRING* md_attr = PKCS7_digest_from_attributes(si->auth_attr);
    if (ct == nullptr || ct->type != V_ASN1_OBJECT || OBJ_cmp(ct->value.object, content_type) != 0 ||
        md_attr == nullptr) {
      res->status = SignerStatus::kBadAttributes;
      return;
    }
    if (static_cast<unsigned int>(ASN1_STRING_length(md_attr)) != d->length ||
        CRYPTO_memcmp(ASN1_STRING_get0_data(md_attr), d->value.data(), d->length) != 0) {
      res->status = SignerStatus::kBadDigest;
      return;
    }
    Bytes attrs;
    if (!attributes_der(si, ASN1_ITEM_rptr(PKCS7_ATTR_VERIFY), &attrs) ||
        EVP_Digest(attrs.data(), attrs.size(), tbs.data(), &tlen, d->md, nullptr) != 1) {
      res->status = SignerStatus::kBadAttributes;
      return;
    }
  } else {
    // Another signer's signed attributes given as the content, that signer's
    // signature kept and its attributes dropped: the digest is the one that
    // signer signed.
    if (content_is_attributes) {
      res->status = SignerStatus::kBadSignature;
      return;
    }
    tlen = d->length;
    std::copy_n(d->value.begin(), tlen, tbs.begin());
  }
  res->status = verify_digest(key, kind, d->md, tbs.data(), tlen, si->enc_digest) ? SignerStatus::kGood
                                                                                  : SignerStatus::kBadSignature;
}

int verify_body(BerReader& r, BIO* content_out, std::vector<std::span<const unsigned char>>* content_runs,
                SignedVerifyResult* result, const SignedVerifyOptions& options, const EnvelopeProgress& progress) {
  constexpr int F = P7S_F_PKCS7_DATAVERIFY;
  // Two detached contents is the caller's mistake.
  if (options.detached != nullptr && options.detached_bytes) {
    fail(F, ERR_R_INTERNAL);
    return 0;
  }
  BerReader::Header h;
  BerReader::Header sd;
  Bytes version;
  std::vector<Bytes> alg_items;
  // ContentInfo, its type, [0], SignedData, version, digest algorithms.
  if (!r.header(&h) || h.tag != 0x30 || !r.open(h)) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  if (!expect_tlv(&r, kSignedOid, sizeof kSignedOid)) {
    fail(F, P7S_R_WRONG_PKCS7_TYPE);
    return 0;
  }
  if (!r.header(&h) || h.tag != 0xa0 || !r.open(h) || !r.header(&sd) || sd.tag != 0x30 || !r.open(sd) ||
      !r.tlv(&version, 8) || version.size() != 3 || version[0] != 0x02 || !r.header(&h) || h.tag != 0x31 ||
      h.indefinite || h.length > kMaxAlgSet || !read_elements(&r, h, kMaxDigests, &alg_items)) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  std::vector<ContentDigest> digests;
  for (const auto& item : alg_items) {
    const unsigned char* p = item.data();
    UniquePtr<X509_ALGOR> alg(d2i_X509_ALGOR(nullptr, &p, static_cast<long>(item.size())));
    if (!alg || p != item.data() + item.size()) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
    ContentDigest d;
    d.oid = oid_text(alg->algorithm);
    if (d.oid.empty() ||
        std::any_of(digests.begin(), digests.end(), [&](const ContentDigest& c) { return c.oid == d.oid; })) {
      continue;
    }
    // An unknown digest is left out: its signers fail, the others can still be checked.
    d.owned.reset(evp_md_fetch(d.oid.c_str()));
    ERR_clear_error();
    if (!d.owned) continue;
    d.md = d.owned.get();
    digests.push_back(std::move(d));
  }
  if (!options.digest_content) digests.clear();
  if (!digests_start(&digests)) {
    fail(F, P7S_R_DIGEST_FAILURE);
    return 0;
  }
  // Encapsulated content: type, then the content unless detached.
  BerReader::Header eci;
  Bytes type_der;
  if (!r.header(&eci) || eci.tag != 0x30 || !r.open(eci) || !r.tlv(&type_der, 64) || type_der[0] != 0x06) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  const unsigned char* tp = type_der.data();
  UniquePtr<ASN1_OBJECT> content_type(d2i_ASN1_OBJECT(nullptr, &tp, static_cast<long>(type_der.size())));
  if (!content_type) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  const bool detached_given = options.detached != nullptr || options.detached_bytes.has_value();
  VerifyState st;
  st.content_out = content_out;
  st.content_runs = content_runs;
  st.progress = progress;
  st.digests = &digests;
  st.total = options.progress_total;
  int rc = 0;
  BerReader::Header ch;
  bool has_content = false;
  if (eci.indefinite) {
    if (!r.header(&ch)) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
    has_content = !(ch.tag == 0 && ch.length == 0 && !ch.indefinite);
    if (!has_content && !r.close_consumed()) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
  } else if (!closes_here(&r, eci)) {
    has_content = r.header(&ch);
    if (!has_content) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
  }
  if (has_content) {
    if (ch.tag != 0xa0 || !r.open(ch) || detached_given) {
      fail(F, detached_given ? P7S_R_NO_CONTENT : P7S_R_MALFORMED);
      return 0;
    }
    rc = read_attached(&r, &st);
    if (rc == 1) rc = r.close() && r.close() ? 1 : 0;
  } else {
    result->detached = true;
    if (!detached_given || (!eci.indefinite && !r.close())) {
      fail(F, !detached_given ? P7S_R_NO_CONTENT : P7S_R_MALFORMED);
      return 0;
    }
    // The content is the caller's: nothing of it is handed back.
    st.content_out = nullptr;
    st.content_runs = nullptr;
    if (!report(progress, SIGNED_STAGE_VERIFY, 0, st.total)) {
      rc = SIGNED_CANCELLED;
    } else if (options.detached_bytes) {
      BerReader detached(*options.detached_bytes);
      rc = content_run(&detached, nullptr, &st, options.detached_bytes->size(), false);
    } else {
      rc = content_run(nullptr, options.detached, &st, 0, true);
    }
  }
  if (rc == SIGNED_CANCELLED) {
    fail(F, P7E_R_CANCELLED);
    return SIGNED_CANCELLED;
  }
  if (rc != 1) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  result->content_length = st.done;
  if (st.done < st.total && !report(progress, SIGNED_STAGE_VERIFY, st.total, st.total)) {
    fail(F, P7E_R_CANCELLED);
    return SIGNED_CANCELLED;
  }
  if (!digests_finish(&digests)) {
    fail(F, P7S_R_DIGEST_FAILURE);
    return 0;
  }
  // [0] certificates, [1] CRLs (not used here), signer records.
  std::vector<Bytes> cert_items;
  std::vector<Bytes> crl_items;
  std::vector<Bytes> info_items;
  if (!r.header(&h)) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  if (h.tag == 0xa0) {
    if (!read_elements(&r, h, kMaxCerts, &cert_items) || !r.header(&h)) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
  }
  if (h.tag == 0xa1) {
    if (!read_elements(&r, h, kMaxCerts, &crl_items) || !r.header(&h)) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
  }
  crl_items.clear();
  if (h.tag != 0x31 || !read_elements(&r, h, kMaxSigners, &info_items)) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  // The message closes: SignedData, [0], ContentInfo, and nothing follows.
  if (!r.close() || !r.close() || !r.close() || !r.eof()) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  for (const auto& item : cert_items) {
    const unsigned char* p = item.data();
    UniquePtr<X509> cert(d2i_X509(nullptr, &p, static_cast<long>(item.size())));
    // Other certificate choices (attribute certificates) are skipped.
    if (cert && p == item.data() + item.size()) result->certificates.push_back(std::move(cert));
  }
  ERR_clear_error();
  if (info_items.empty()) {
    fail(F, P7S_R_NO_SIGNERS);
    return 0;
  }
  for (const auto& item : info_items) {
    const unsigned char* p = item.data();
    UniquePtr<PKCS7_SIGNER_INFO> si(d2i_PKCS7_SIGNER_INFO(nullptr, &p, static_cast<long>(item.size())));
    if (!si || p != item.data() + item.size()) {
      fail(F, P7S_R_MALFORMED);
      return 0;
    }
    SignerResult res;
    res.info = std::move(si);
    result->signers.push_back(std::move(res));
  }
  ERR_clear_error();
  bool all_good = true;
  bool missing = false;
  for (auto& s : result->signers) {
    check_signer(digests, content_type.get(), st.attributes.matches(), result->certificates, options.extra_certs, &s);
    all_good = all_good && s.status == SignerStatus::kGood;
    missing = missing || s.status == SignerStatus::kNoCertificate;
  }
  if (!all_good) {
    fail(P7S_F_PKCS7_SIGNATUREVERIFY, missing ? P7S_R_UNABLE_TO_FIND_CERTIFICATE : P7S_R_SIGNATURE_FAILURE);
    return SIGNED_INVALID;
  }
  if (content_out != nullptr && BIO_flush(content_out) != 1) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

int verify_stream(BIO* in, BIO* content_out, SignedVerifyResult* result, const SignedVerifyOptions& options,
                  const EnvelopeProgress& progress) {
  constexpr int F = P7S_F_PKCS7_DATAVERIFY;
  if (in == nullptr || result == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  *result = SignedVerifyResult{};
  unsigned char first = 0;
  if (BIO_read(in, &first, 1) != 1) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  if (first == 0x30) {
    BerReader r(in, first);
    return verify_body(r, content_out, nullptr, result, options, progress);
  }
  UniquePtr<BIO> base64(BIO_new(BIO_f_base64()));
  if (!base64 || !p7::pem_begin(in, first)) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  BIO_push(base64.get(), in);
  BerReader r(base64.get(), -1);
  const int rc = verify_body(r, content_out, nullptr, result, options, progress);
  BIO_pop(base64.get());
  return rc;
}

// The length of the regular file behind a file BIO, or -1.
long long file_length(BIO* bio) {
  FILE* fp = nullptr;
  struct stat st {};
  if (BIO_get_fp(bio, &fp) != 1 || fp == nullptr || fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) return -1;
  return static_cast<long long>(st.st_size);
}

}  // namespace

int signed_data_sign_bio(std::span<const SignedSigner> signers, BIO* in, std::uint64_t length, BIO* out,
                         const SignedOptions& options, EnvelopeProgress progress) {
  return sign_stream(signers, in, length, out, options, progress);
}

int signed_data_sign_file(std::span<const SignedSigner> signers, const char* in_path, const char* out_path,
                          const SignedOptions& options, EnvelopeProgress progress) {
  constexpr int F = P7S_F_PKCS7_DATAFINAL;
  if (in_path == nullptr || out_path == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  UniquePtr<BIO> in = open_regular_file_bio(in_path);
  // The length of the file that was opened, not of whatever the name means now.
  const long long length = in ? file_length(in.get()) : -1;
  if (length < 0) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  AtomicOutput out(out_path);
  if (out.bio() == nullptr) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  const int rc = sign_stream(signers, in.get(), static_cast<std::uint64_t>(length), out.bio(), options, progress);
  if (rc != 1) return rc;
  if (!out.commit()) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

int signed_data_verify_bio(BIO* in, BIO* content_out, SignedVerifyResult* result, const SignedVerifyOptions& options,
                           EnvelopeProgress progress) {
  return verify_stream(in, content_out, result, options, progress);
}

int signed_data_verify_mem(std::span<const unsigned char> message, std::vector<std::span<const unsigned char>>* content,
                           SignedVerifyResult* result, const SignedVerifyOptions& options, EnvelopeProgress progress) {
  constexpr int F = P7S_F_PKCS7_DATAVERIFY;
  if (result == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  *result = SignedVerifyResult{};
  if (content != nullptr) content->clear();
  if (message.empty() || message[0] != 0x30) {
    fail(F, P7S_R_MALFORMED);
    return 0;
  }
  BerReader r(message);
  return verify_body(r, nullptr, content, result, options, progress);
}

int signed_data_verify_file(const char* in_path, const char* detached_path, const char* content_path,
                            SignedVerifyResult* result, std::span<X509* const> extra_certs, EnvelopeProgress progress) {
  constexpr int F = P7S_F_PKCS7_DATAVERIFY;
  if (in_path == nullptr || result == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  UniquePtr<BIO> in = open_regular_file_bio(in_path);
  UniquePtr<BIO> detached = detached_path != nullptr ? open_regular_file_bio(detached_path) : nullptr;
  if (!in || (detached_path != nullptr && !detached)) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  SignedVerifyOptions options;
  options.detached = detached.get();
  options.extra_certs = extra_certs;
  if (detached) {
    const long long n = file_length(detached.get());
    options.progress_total = n > 0 ? static_cast<std::uint64_t>(n) : 0;
  }
  std::optional<AtomicOutput> out;
  if (content_path != nullptr) {
    out.emplace(content_path);
    if (out->bio() == nullptr) {
      fail(F, P7E_R_OUTPUT);
      return 0;
    }
  }
  const int rc = verify_stream(in.get(), out ? out->bio() : nullptr, result, options, progress);
  if (rc != 1) return rc;
  if (out && !out->commit()) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

int signed_data_check_signers(const SignedVerifyResult& result, std::span<X509* const> required) {
  for (X509* want : required) {
    const bool found = std::any_of(result.signers.begin(), result.signers.end(), [&](const SignerResult& s) {
      return s.status == SignerStatus::kGood && s.cert && X509_cmp(s.cert.get(), want) == 0;
    });
    if (!found) return 0;
  }
  return 1;
}

}  // namespace qcrypto
