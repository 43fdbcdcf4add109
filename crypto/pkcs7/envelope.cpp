// The enveloped-data writer and reader (envelope.h).
#include "crypto/pkcs7/envelope.h"

#include <fcntl.h>
#include <openssl/asn1.h>
#include <openssl/crypto.h>
#include <openssl/objects.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <string>
#include <vector>

#include "crypto/cclib/ossl_owners.h"
#include "crypto/cclib/regular_file.h"
#include "crypto/cclib/secret.h"
#include "crypto/err/err.h"
#include "crypto/evp/objects.h"
#include "crypto/pkcs7/p7_stream.h"
#include "crypto/pkcs7/recip_info.h"
#include "crypto/prov/evp_gost.h"
#include "crypto/rand/rand.h"
#include "crypto/wrap/keywrap.h"

namespace qcrypto {
namespace {

using p7::append_content_info_head;
using p7::append_header;
using p7::AtomicOutput;
using p7::BerReader;
using p7::Bytes;
using p7::header_size;
using p7::pem_begin;
using p7::read_full;
using p7::write_all;

constexpr int kMaxKeyBytes = 64;
constexpr int kMaxIvBytes = 32;
constexpr int kMaxEncryptedKey = 4096;
// Bounds of the parts the reader keeps in memory.
constexpr std::uint64_t kMaxRecipientSet = 1U << 20;
constexpr std::uint64_t kMaxSmallTlv = 4096;

const unsigned char kEnvelopedOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x03};
const unsigned char kDataOid[] = {0x06, 0x09, 0x2a, 0x86, 0x48, 0x86, 0xf7, 0x0d, 0x01, 0x07, 0x01};

void fail(int func, int reason) { QERR(ERRLIB_PKCS7, func, reason); }

bool report(const EnvelopeProgress& progress, int stage, std::uint64_t done, std::uint64_t total) {
  if (progress.fn == nullptr) return true;
  return progress.fn(stage, static_cast<long>(done), static_cast<long>(total), progress.user) != 0;
}

// The cipher's object number: the first of its names that the objects table knows.
int cipher_nid(const EVP_CIPHER* cipher) {
  int nid = NID_undef;
  EVP_CIPHER_names_do_all(
      cipher,
      [](const char* name, void* arg) {
        int* found = static_cast<int*>(arg);
        if (*found != NID_undef || name == nullptr) return;
        // Looked up without the text parser, which queues an error for every
        // name that is not an object.
        *found = OBJ_sn2nid(name);
        if (*found == NID_undef) *found = OBJ_ln2nid(name);
        if (*found == NID_undef && name[0] >= '0' && name[0] <= '9') {
          UniquePtr<ASN1_OBJECT> obj(OBJ_txt2obj(name, 1));
          if (obj) *found = OBJ_obj2nid(obj.get());
        }
      },
      &nid);
  return nid;
}

// One block of content and its cipher text. Kept off the stack (they are
// large) and wiped whichever way the operation ends: the plaintext side
// holds content, the cipher side nothing secret.
struct ContentBlocks {
  SecretBuffer<ENVELOPE_BLOCK + 64> plain;
  std::array<unsigned char, ENVELOPE_BLOCK + 64> cipher{};
};

bool is_des_ede3(const EVP_CIPHER* cipher) { return EVP_CIPHER_is_a(cipher, "DES-EDE3-CBC") != 0; }

std::uint64_t ciphertext_length(const EVP_CIPHER* cipher, std::uint64_t length) {
  const int mode = EVP_CIPHER_get_mode(cipher);
  const auto block = static_cast<std::uint64_t>(EVP_CIPHER_get_block_size(cipher));
  if ((mode == EVP_CIPH_CBC_MODE || mode == EVP_CIPH_ECB_MODE) && block > 1) return length + block - length % block;
  return length;
}

// --- writer -------------------------------------------------------------------

int encrypt_stream(std::span<const EnvelopeRecipient> recipients, const EVP_CIPHER* cipher, BIO* in,
                   std::uint64_t length, BIO* out, const EnvelopeProgress& progress) {
  constexpr int F = P7E_F_PKCS7_DATAINIT;
  if (recipients.empty() || cipher == nullptr || in == nullptr || out == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  const int keylen = EVP_CIPHER_get_key_length(cipher);
  const int ivlen = EVP_CIPHER_get_iv_length(cipher);
  const int nid = cipher_nid(cipher);
  if (keylen <= 0 || keylen > kMaxKeyBytes || ivlen < 0 || ivlen > kMaxIvBytes || nid == NID_undef) {
    fail(F, P7E_R_UNSUPPORTED_CIPHER_TYPE);
    return 0;
  }
  SecretBuffer<kMaxKeyBytes> cek;
  std::array<unsigned char, kMaxIvBytes> iv{};
  if (RAND_bytes(cek.data(), keylen) != keylen || (ivlen > 0 && RAND_bytes(iv.data(), ivlen) != ivlen)) {
    fail(F, ERR_R_INTERNAL);
    return 0;
  }
  if (is_des_ede3(cipher)) {
    for (int i = 0; i < keylen; i += 8) CMS_des_set_odd_parity(cek.data() + i);
  }

  // Recipients, each DER-encoded; the SET is written in DER order.
  RecipInfoList list;
  std::vector<Bytes> encoded;
  {
    SecretBuffer<kMaxEncryptedKey> buffer;
    for (const auto& r : recipients) {
      PKCS7_RECIP_INFO* ri = PKCS7_add_recipient(&list, r.cert, r.form);
      if (ri == nullptr) {
        fail(F, P7E_R_EVP_LIB);
        return 0;
      }
      const int n = ri->form == PKCS7_FORM_1
                        ? PKCS7_CEK_encrypt_form1(ri, buffer.data(), kMaxEncryptedKey, cek.data(), keylen, cipher)
                        : PKCS7_CEK_encrypt(ri, buffer.data(), kMaxEncryptedKey, cek.data(), keylen, cipher);
      if (n < 1) {
        fail(F, P7E_R_EVP_LIB);
        return 0;
      }
      ri->enc_key = ASN1_OCTET_STRING_new();
      unsigned char* der = nullptr;
      int derlen = 0;
      if (ri->enc_key == nullptr || ASN1_OCTET_STRING_set(ri->enc_key, buffer.data(), n) != 1 ||
          !pkcs7_recip_info_finish(ri) || (derlen = i2d_PKCS7_RECIP_INFO(ri, &der)) <= 0) {
        OPENSSL_free(der);
        fail(F, ERR_R_MEMORY_ALLOC);
        return 0;
      }
      encoded.emplace_back(der, der + derlen);
      OPENSSL_free(der);
    }
  }
  // DER order of a SET OF: by encoding, a shorter one first when it is a
  // prefix. (Written out: std::vector's operator< trips g++ 12's -O3
  // object-size warning.)
  std::sort(encoded.begin(), encoded.end(), [](const Bytes& a, const Bytes& b) {
    const std::size_t n = std::min(a.size(), b.size());
    for (std::size_t i = 0; i < n; ++i) {
      if (a[i] != b[i]) return a[i] < b[i];
    }
    return a.size() < b.size();
  });

  UniquePtr<X509_ALGOR> alg(X509_ALGOR_new());
  UniquePtr<ASN1_STRING> ivs(ASN1_OCTET_STRING_new());
  unsigned char* alg_der = nullptr;
  int alg_len = 0;
  if (!alg || !ivs || ASN1_OCTET_STRING_set(ivs.get(), iv.data(), ivlen) != 1) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  ASN1_STRING* iv_value = ivs.release();
  if (!X509_ALGOR_set0(alg.get(), OBJ_nid2obj(nid), V_ASN1_OCTET_STRING, iv_value)) {
    ASN1_STRING_free(iv_value);
    fail(F, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  if ((alg_len = i2d_X509_ALGOR(alg.get(), &alg_der)) <= 0) {
    fail(F, ERR_R_MEMORY_ALLOC);
    return 0;
  }
  Bytes alg_bytes(alg_der, alg_der + alg_len);
  OPENSSL_free(alg_der);

  // Lengths from the inside out.
  const std::uint64_t ctlen = ciphertext_length(cipher, length);
  std::uint64_t set_len = 0;
  for (const auto& e : encoded) set_len += e.size();
  const std::uint64_t content_tlv = header_size(ctlen) + ctlen;
  const std::uint64_t eci_len = sizeof kDataOid + alg_bytes.size() + content_tlv;
  const std::uint64_t env_len = 3 + header_size(set_len) + set_len + header_size(eci_len) + eci_len;

  Bytes head;
  append_content_info_head(&head, kEnvelopedOid, env_len, 0);
  append_header(&head, 0x31, set_len);
  for (const auto& e : encoded) head.insert(head.end(), e.begin(), e.end());
  append_header(&head, 0x30, eci_len);
  head.insert(head.end(), std::begin(kDataOid), std::end(kDataOid));
  head.insert(head.end(), alg_bytes.begin(), alg_bytes.end());
  append_header(&head, 0x80, ctlen);
  if (!write_all(out, head.data(), head.size())) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }

  UniquePtr<EVP_CIPHER_CTX> ctx(EVP_CIPHER_CTX_new());
  if (!ctx || EVP_EncryptInit_ex2(ctx.get(), cipher, cek.data(), iv.data(), nullptr) != 1) {
    fail(F, P7E_R_EVP_LIB);
    return 0;
  }
  cek.wipe();
  const auto blocks = std::make_unique<ContentBlocks>();
  unsigned char* plain = blocks->plain.data();
  unsigned char* enc = blocks->cipher.data();
  std::uint64_t done = 0;
  if (!report(progress, ENVELOPE_STAGE_ENCRYPT, 0, length)) {
    fail(F, P7E_R_CANCELLED);
    return ENVELOPE_CANCELLED;
  }
  for (;;) {
    const int n = read_full(in, plain, ENVELOPE_BLOCK);
    if (n <= 0) break;
    done += static_cast<std::uint64_t>(n);
    int m = 0;
    if (done > length || EVP_EncryptUpdate(ctx.get(), enc, &m, plain, n) != 1) {
      fail(F, done > length ? P7E_R_CONTENT_LENGTH : P7E_R_EVP_LIB);
      return 0;
    }
    if (!write_all(out, enc, static_cast<std::size_t>(m))) {
      fail(F, P7E_R_OUTPUT);
      return 0;
    }
    if (!report(progress, ENVELOPE_STAGE_ENCRYPT, done, length)) {
      fail(F, P7E_R_CANCELLED);
      return ENVELOPE_CANCELLED;
    }
    if (n < ENVELOPE_BLOCK) break;
  }
  int m = 0;
  if (done != length) {
    fail(F, P7E_R_CONTENT_LENGTH);
    return 0;
  }
  if (EVP_EncryptFinal_ex(ctx.get(), enc, &m) != 1 || !write_all(out, enc, static_cast<std::size_t>(m)) ||
      BIO_flush(out) != 1) {
    fail(F, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

// --- reader -------------------------------------------------------------------

struct DecryptState {
  UniquePtr<EVP_CIPHER_CTX> ctx;
  BIO* out;
  EnvelopeProgress progress;
  std::uint64_t done = 0;
  std::uint64_t total = 0;
  std::unique_ptr<ContentBlocks> blocks = std::make_unique<ContentBlocks>();
};

// Decrypts `n` bytes of ciphertext from the reader in blocks; 1, 0, or cancelled.
int decrypt_run(BerReader* r, DecryptState* st, std::uint64_t n) {
  while (n > 0) {
    const int chunk = static_cast<int>(std::min<std::uint64_t>(n, ENVELOPE_BLOCK));
    int m = 0;
    unsigned char* enc = st->blocks->cipher.data();
    unsigned char* plain = st->blocks->plain.data();
    if (!r->read(enc, static_cast<std::uint64_t>(chunk))) return 0;
    if (EVP_DecryptUpdate(st->ctx.get(), plain, &m, enc, chunk) != 1) return 0;
    if (!write_all(st->out, plain, static_cast<std::size_t>(m))) return 0;
    n -= static_cast<std::uint64_t>(chunk);
    st->done += static_cast<std::uint64_t>(chunk);
    if (!report(st->progress, ENVELOPE_STAGE_DECRYPT, st->done, st->total)) return ENVELOPE_CANCELLED;
  }
  return 1;
}

bool expect_tlv(BerReader* r, const unsigned char* want, std::size_t length) {
  Bytes got;
  return r->tlv(&got, kMaxSmallTlv) && got.size() == length && std::memcmp(got.data(), want, length) == 0;
}

// Finds the recipient of `cert` and recovers the CEK; its length or 0. An RSA
// key yields keylen bytes, `fallback` in place of a malformed key.
int recover_cek(const Bytes& set, EVP_PKEY* pkey, X509* cert, unsigned char* cek, int cap, int keylen,
                const unsigned char* fallback) {
  const unsigned char* p = set.data();
  const unsigned char* end = set.data() + set.size();
  while (p < end) {
    UniquePtr<PKCS7_RECIP_INFO> ri(d2i_PKCS7_RECIP_INFO(nullptr, &p, end - p));
    if (!ri) return 0;
    if (PKCS7_RECIP_INFO_select(ri.get(), cert) != 1) continue;
    if (fallback != nullptr) return pkcs7_cek_decrypt_rsa(pkey, ri.get(), cek, keylen, fallback);
    return ri->form == PKCS7_FORM_1 ? PKCS7_CEK_decrypt_form1(pkey, ri.get(), cek, cap)
                                    : PKCS7_CEK_decrypt(pkey, ri.get(), cek, cap);
  }
  fail(P7E_F_PKCS7_DATADECODE, P7E_R_NO_RECIPIENT_MATCHES_CERTIFICATE);
  return 0;
}

int decrypt_body(BIO* in, int first, EVP_PKEY* pkey, X509* cert, BIO* out, const EnvelopeProgress& progress) {
  constexpr int F = P7E_F_PKCS7_DATADECODE;
  // A key that is not the certificate's would decrypt nothing useful (and the
  // plain wraps carry no check value to tell).
  if (EVP_PKEY_eq(X509_get0_pubkey(cert), pkey) != 1) {
    fail(F, P7E_R_NO_RECIPIENT_MATCHES_CERTIFICATE);
    return 0;
  }
  BerReader r(in, first);
  BerReader::Header h;
  Bytes version;
  Bytes set;
  Bytes alg_der;
  // ContentInfo, its type, [0], EnvelopedData, version, recipients.
  const bool head_ok = r.header(&h) && h.tag == 0x30 && r.open(h) &&
                       expect_tlv(&r, kEnvelopedOid, sizeof kEnvelopedOid) && r.header(&h) && h.tag == 0xa0 &&
                       r.open(h) && r.header(&h) && h.tag == 0x30 && r.open(h) && r.tlv(&version, 8) &&
                       version.size() == 3 && version[0] == 0x02 && r.header(&h) && h.tag == 0x31 && !h.indefinite &&
                       h.length <= kMaxRecipientSet;
  if (!head_ok) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  set.resize(static_cast<std::size_t>(h.length));
  if (!r.read(set.data(), h.length)) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  // EncryptedContentInfo: type, algorithm.
  if (!r.header(&h) || h.tag != 0x30 || !r.open(h) || !expect_tlv(&r, kDataOid, sizeof kDataOid) ||
      !r.tlv(&alg_der, kMaxSmallTlv)) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  const unsigned char* ap = alg_der.data();
  UniquePtr<X509_ALGOR> alg(d2i_X509_ALGOR(nullptr, &ap, static_cast<long>(alg_der.size())));
  char oid[80];
  if (!alg || ap != alg_der.data() + alg_der.size() || OBJ_obj2txt(oid, sizeof oid, alg->algorithm, 1) <= 0) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  UniquePtr<EVP_CIPHER> cipher(evp_cipher_fetch(oid));
  if (!cipher) {
    fail(F, P7E_R_UNSUPPORTED_CIPHER_TYPE);
    return 0;
  }
  int ptype = 0;
  const void* pval = nullptr;
  X509_ALGOR_get0(nullptr, &ptype, &pval, alg.get());
  const int ivlen = EVP_CIPHER_get_iv_length(cipher.get());
  const auto* ivs = static_cast<const ASN1_STRING*>(pval);
  if (ptype != V_ASN1_OCTET_STRING || ivs == nullptr || ASN1_STRING_length(ivs) != ivlen) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  SecretBuffer<kMaxKeyBytes + 16> cek;
  const int keylen = EVP_CIPHER_get_key_length(cipher.get());
  if (keylen <= 0 || keylen > kMaxKeyBytes) {
    fail(F, P7E_R_UNSUPPORTED_CIPHER_TYPE);
    return 0;
  }
  // RSA transport has no integrity of its own: a key that fails its padding
  // or has another length is replaced by a random one drawn beforehand, and
  // the message then runs to its end exactly as under a wrong key. Telling
  // the cases apart would let anyone holding a message learn its key through
  // forged recipients (adaptive chosen ciphertexts against PKCS#1 v1.5).
  SecretBuffer<kMaxKeyBytes> fallback;
  const bool rsa = pkcs7_pkey_key_type(pkey) == PKCS7_KEY_RSA;
  if (rsa && RAND_bytes(fallback.data(), keylen) != keylen) {
    fail(F, ERR_R_INTERNAL);
    return 0;
  }
  const int ceklen =
      recover_cek(set, pkey, cert, cek.data(), static_cast<int>(cek.size()), keylen, rsa ? fallback.data() : nullptr);
  fallback.wipe();
  if (ceklen <= 0 || ceklen != keylen) {
    fail(F, P7E_R_DECRYPT);
    return 0;
  }
  DecryptState st;
  st.out = out;
  st.progress = progress;
  st.ctx.reset(EVP_CIPHER_CTX_new());
  if (!st.ctx ||
      EVP_DecryptInit_ex2(st.ctx.get(), cipher.get(), cek.data(), ASN1_STRING_get0_data(ivs), nullptr) != 1) {
    fail(F, P7E_R_EVP_LIB);
    return 0;
  }
  cek.wipe();
  // encryptedContent: primitive [0], or constructed [0] of OCTET STRING pieces.
  if (!r.header(&h) || (h.tag != 0x80 && h.tag != 0xa0)) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  st.total = h.tag == 0x80 ? h.length : 0;
  if (!report(progress, ENVELOPE_STAGE_DECRYPT, 0, st.total)) {
    fail(F, P7E_R_CANCELLED);
    return ENVELOPE_CANCELLED;
  }
  int rc = 1;
  if (h.tag == 0x80) {
    rc = decrypt_run(&r, &st, h.length);
  } else if (r.open(h)) {
    for (;;) {
      if (r.peek_eoc_or_end()) break;
      BerReader::Header piece;
      if (!r.header(&piece)) {
        rc = 0;
        break;
      }
      if (piece.tag == 0 && piece.length == 0 && !piece.indefinite) {
        // The end-of-contents of the indefinite [0]: close() below reads none.
        rc = 2;
        break;
      }
      if (piece.tag != 0x04 || piece.indefinite) {
        rc = 0;
        break;
      }
      rc = decrypt_run(&r, &st, piece.length);
      if (rc != 1) break;
    }
  } else {
    rc = 0;
  }
  if (rc == ENVELOPE_CANCELLED) {
    fail(F, P7E_R_CANCELLED);
    return ENVELOPE_CANCELLED;
  }
  bool closed = rc == 1 || rc == 2;
  if (h.tag == 0xa0 && closed) {
    if (rc == 2) {
      closed = r.close_consumed();
    } else {
      closed = r.close();
    }
  }
  int m = 0;
  // The content's structure closes before any plaintext counts as checked.
  closed = closed && r.close() && r.close() && r.close() && r.close() && r.eof();
  unsigned char* last = st.blocks->plain.data();
  if (!closed || EVP_DecryptFinal_ex(st.ctx.get(), last, &m) != 1 ||
      !write_all(out, last, static_cast<std::size_t>(m)) || BIO_flush(out) != 1) {
    fail(F, closed ? P7E_R_DECRYPT : P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  return 1;
}

// DER first; anything that does not start as DER is read as PEM.
int decrypt_stream(BIO* in, EVP_PKEY* pkey, X509* cert, BIO* out, const EnvelopeProgress& progress) {
  constexpr int F = P7E_F_PKCS7_DATADECODE;
  if (in == nullptr || pkey == nullptr || cert == nullptr || out == nullptr) {
    fail(F, ERR_R_PASSED_NULL);
    return 0;
  }
  unsigned char first = 0;
  if (BIO_read(in, &first, 1) != 1) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  if (first == 0x30) return decrypt_body(in, first, pkey, cert, out, progress);
  UniquePtr<BIO> base64(BIO_new(BIO_f_base64()));
  if (!base64 || !pem_begin(in, first)) {
    fail(F, P7E_R_MALFORMED_ENVELOPE);
    return 0;
  }
  BIO_push(base64.get(), in);
  const int rc = decrypt_body(base64.get(), -1, pkey, cert, out, progress);
  BIO_pop(base64.get());
  return rc;
}

// --- files --------------------------------------------------------------------

}  // namespace

int envelope_encrypt_bio(std::span<const EnvelopeRecipient> recipients, const EVP_CIPHER* cipher, BIO* in,
                         std::uint64_t length, BIO* out, EnvelopeProgress progress) {
  return encrypt_stream(recipients, cipher, in, length, out, progress);
}

int envelope_encrypt_file(std::span<const EnvelopeRecipient> recipients, const EVP_CIPHER* cipher, const char* in_path,
                          const char* out_path, EnvelopeProgress progress) {
  if (in_path == nullptr || out_path == nullptr) {
    fail(P7E_F_PKCS7_DATAINIT, ERR_R_PASSED_NULL);
    return 0;
  }
  UniquePtr<BIO> in = open_regular_file_bio(in_path);
  // The length of the file that was opened, not of whatever the name means now.
  FILE* fp = nullptr;
  struct stat st {};
  if (!in || BIO_get_fp(in.get(), &fp) != 1 || fp == nullptr || fstat(fileno(fp), &st) != 0 || !S_ISREG(st.st_mode)) {
    fail(P7E_F_PKCS7_DATAINIT, P7E_R_OUTPUT);
    return 0;
  }
  AtomicOutput out(out_path);
  if (out.bio() == nullptr) {
    fail(P7E_F_PKCS7_DATAINIT, P7E_R_OUTPUT);
    return 0;
  }
  const int rc =
      encrypt_stream(recipients, cipher, in.get(), static_cast<std::uint64_t>(st.st_size), out.bio(), progress);
  if (rc != 1) return rc;
  if (!out.commit()) {
    fail(P7E_F_PKCS7_DATAINIT, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

int envelope_decrypt_bio(BIO* in, EVP_PKEY* pkey, X509* cert, BIO* out, EnvelopeProgress progress) {
  return decrypt_stream(in, pkey, cert, out, progress);
}

int envelope_decrypt_file(const char* in_path, const char* out_path, EVP_PKEY* pkey, X509* cert,
                          EnvelopeProgress progress) {
  if (in_path == nullptr || out_path == nullptr) {
    fail(P7E_F_PKCS7_DATADECODE, ERR_R_PASSED_NULL);
    return 0;
  }
  UniquePtr<BIO> in = open_regular_file_bio(in_path);
  AtomicOutput out(out_path);
  if (!in || out.bio() == nullptr) {
    fail(P7E_F_PKCS7_DATADECODE, P7E_R_OUTPUT);
    return 0;
  }
  const int rc = decrypt_stream(in.get(), pkey, cert, out.bio(), progress);
  if (rc != 1) return rc;
  if (!out.commit()) {
    fail(P7E_F_PKCS7_DATADECODE, P7E_R_OUTPUT);
    return 0;
  }
  return 1;
}

}  // namespace qcrypto
