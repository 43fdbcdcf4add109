// PEM and BIO forms of the key codecs.
#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstring>
#include <string>

#include "crypto/x509/codec_util.h"

namespace qcrypto {
using namespace keycodec;

namespace {

// Largest DER key read from a BIO.
constexpr std::size_t kMaxBioDer = 64 * 1024;

bool ReadExactly(BIO* bio, unsigned char* to, std::size_t n) {
  while (n > 0) {
    const int got = BIO_read(bio, to, static_cast<int>(n));
    if (got <= 0) return false;
    to += got;
    n -= static_cast<std::size_t>(got);
  }
  return true;
}

// One TLV read from the BIO (nothing beyond it is consumed).
bool ReadOneDer(BIO* bio, der::Buffer& out) {
  out.clear();
  unsigned char header[6];
  if (bio == nullptr || !ReadExactly(bio, header, 2)) return false;
  std::size_t header_size = 2;
  std::size_t length = header[1];
  if (header[1] & 0x80) {
    const std::size_t bytes = header[1] & 0x7f;
    if (bytes == 0 || bytes > 4) return false;
    if (!ReadExactly(bio, header + 2, bytes)) return false;
    header_size += bytes;
    length = 0;
    for (std::size_t i = 0; i < bytes; ++i) length = (length << 8) | header[2 + i];
  }
  if (length > kMaxBioDer) return false;
  out.resize(header_size + length);
  std::memcpy(out.data(), header, header_size);
  return ReadExactly(bio, out.data() + header_size, length);
}

// An encrypted PEM block is the key container's business: never prompt here.
int NoPassword(char*, int, int, void*) { return -1; }

// PEM text of DER bytes. Encoded here in one piece: OpenSSL's PEM writer
// keeps the tail of its input in an encoding context that it frees without
// wiping, which would leave the last bytes of a private key (the private
// number) in freed memory. The BIO gets the text; what it does with a
// private key's text is its owner's choice (a secure memory BIO for keys).
bool WritePemText(BIO* bio, const char* name, const unsigned char* der, int n) {
  const std::size_t text_size = 4 * ((static_cast<std::size_t>(n) + 2) / 3) + 1;
  auto* text = static_cast<unsigned char*>(OPENSSL_malloc(text_size));
  if (text == nullptr) return false;
  const int chars = EVP_EncodeBlock(text, der, n);
  const std::string begin = std::string("-----BEGIN ") + name + "-----\n";
  const std::string end = std::string("-----END ") + name + "-----\n";
  bool ok = chars > 0 && BIO_write(bio, begin.data(), static_cast<int>(begin.size())) == static_cast<int>(begin.size());
  for (int at = 0; ok && at < chars; at += 64) {
    const int line = std::min(64, chars - at);
    ok = BIO_write(bio, text + at, line) == line && BIO_write(bio, "\n", 1) == 1;
  }
  ok = ok && BIO_write(bio, end.data(), static_cast<int>(end.size())) == static_cast<int>(end.size());
  OPENSSL_clear_free(text, text_size);
  return ok;
}

template <class T>
int WritePem(BIO* bio, const char* name, int (*i2d)(const T*, unsigned char**), const T* key) {
  unsigned char* der = nullptr;
  const int n = key != nullptr && bio != nullptr ? i2d(key, &der) : 0;
  if (n <= 0) return 0;
  const bool ok = WritePemText(bio, name, der, n);
  OPENSSL_clear_free(der, static_cast<std::size_t>(n));
  return ok ? 1 : 0;
}

template <class T>
T* ReadPem(BIO* bio, const char* name, T* (*d2i)(T**, const unsigned char**, long), T** key, void (*free_fn)(T*),
           int func) {
  unsigned char* data = nullptr;
  long length = 0;
  if (bio == nullptr || !PEM_bytes_read_bio_secmem(&data, &length, nullptr, name, bio, NoPassword, nullptr)) {
    return Parsing(func);
  }
  T* out = nullptr;
  {
    const unsigned char* p = data;
    out = d2i(nullptr, &p, length);
    if (out != nullptr && p != data + length) {
      free_fn(out);
      out = Parsing(func);
    }
  }
  if (out != nullptr && key != nullptr && *key != nullptr) {
    // Decode again into the caller's record, now that the bytes are known good.
    const unsigned char* p = data;
    free_fn(out);
    out = d2i(key, &p, length);
  } else if (out != nullptr && key != nullptr) {
    *key = out;
  }
  OPENSSL_secure_clear_free(data, static_cast<std::size_t>(length));
  return out;
}

}  // namespace

R3410* d2i_R3410PrivateKey_bio(BIO* bio, R3410** key) {
  der::Buffer der;
  if (!ReadOneDer(bio, der)) return Parsing(ASN1GOST_F_D2I_R3410PRIVATEKEY);
  const unsigned char* p = der.data();
  return d2i_R3410PrivateKey(key, &p, static_cast<long>(der.size()));
}

ECGOST* d2i_ECGOSTPrivateKey_bio(BIO* bio, ECGOST** key) {
  der::Buffer der;
  if (!ReadOneDer(bio, der)) return Parsing(ASN1GOST_F_D2I_ECGOSTPRIVATEKEY);
  const unsigned char* p = der.data();
  return d2i_ECGOSTPrivateKey(key, &p, static_cast<long>(der.size()));
}

int PEM_write_bio_R3410PrivateKey(BIO* bio, const R3410* key) {
  return WritePem(bio, PEM_STRING_R3410_PRIVATE, i2d_R3410PrivateKey, key);
}
R3410* PEM_read_bio_R3410PrivateKey(BIO* bio, R3410** key) {
  return ReadPem(bio, PEM_STRING_R3410_PRIVATE, d2i_R3410PrivateKey, key, R3410_free, ASN1GOST_F_D2I_R3410PRIVATEKEY);
}
int PEM_write_bio_ECGOSTPrivateKey(BIO* bio, const ECGOST* key) {
  return WritePem(bio, PEM_STRING_ECGOST_PRIVATE, i2d_ECGOSTPrivateKey, key);
}
ECGOST* PEM_read_bio_ECGOSTPrivateKey(BIO* bio, ECGOST** key) {
  return ReadPem(bio, PEM_STRING_ECGOST_PRIVATE, d2i_ECGOSTPrivateKey, key, ECGOST_free,
                 ASN1GOST_F_D2I_ECGOSTPRIVATEKEY);
}
int PEM_write_bio_R3410_PUBKEY(BIO* bio, const R3410* key) {
  return WritePem(bio, PEM_STRING_GOST_PUBLIC, i2d_R3410_PUBKEY, key);
}
R3410* PEM_read_bio_R3410_PUBKEY(BIO* bio, R3410** key) {
  return ReadPem(bio, PEM_STRING_GOST_PUBLIC, d2i_R3410_PUBKEY, key, R3410_free, ASN1GOST_F_D2I_GOST_PUBKEY);
}
int PEM_write_bio_ECGOST_PUBKEY(BIO* bio, const ECGOST* key) {
  return WritePem(bio, PEM_STRING_GOST_PUBLIC, i2d_ECGOST_PUBKEY, key);
}
ECGOST* PEM_read_bio_ECGOST_PUBKEY(BIO* bio, ECGOST** key) {
  return ReadPem(bio, PEM_STRING_GOST_PUBLIC, d2i_ECGOST_PUBKEY, key, ECGOST_free, ASN1GOST_F_D2I_GOST_PUBKEY);
}

}  // namespace qcrypto
