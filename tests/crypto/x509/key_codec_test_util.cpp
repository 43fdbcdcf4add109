#include "tests/crypto/x509/key_codec_test_util.h"

namespace qcrypto::keytest {

UniquePtr<R3410> MakeR3410() {
  UniquePtr<R3410> key(GOSTS_new());
  if (!key || !R3410_default_params(key.get())) return nullptr;
  key->x = BN_new();
  if (key->x == nullptr || !BN_rand_range(key->x, key->q) || BN_is_zero(key->x) || !R3410_generate_pubkey(key.get())) {
    return nullptr;
  }
  return key;
}

UniquePtr<ECGOST> MakeEcgost(bool test_curve) {
  UniquePtr<ECURVE> curve(ECURVE_init(test_curve ? &ECURVE_DEF_2_255_431 : &ECURVE_DEF_191, ECURVE_PROJECTIVE));
  if (!curve) return nullptr;
  UniquePtr<ECGOST> key(ECGOST_new(curve.get()));
  if (!key || !BN_rand_range(key->d, curve->q) || BN_is_zero(key->d) || !ECGOST_generate_pubkey(key.get())) {
    return nullptr;
  }
  return key;
}

Tlv ParseTlv(std::span<const unsigned char> b) {
  Tlv t{b[0], 2, b[1]};
  if (b[1] & 0x80) {
    const std::size_t n = b[1] & 0x7f;
    t.length = 0;
    for (std::size_t i = 0; i < n; ++i) t.length = (t.length << 8) | b[2 + i];
    t.header = 2 + n;
  }
  return t;
}

Bytes MakeTlv(unsigned char tag, std::span<const unsigned char> content) {
  Bytes out{tag};
  const std::size_t n = content.size();
  if (n < 0x80) {
    out.push_back(static_cast<unsigned char>(n));
  } else if (n < 0x100) {
    out.insert(out.end(), {0x81, static_cast<unsigned char>(n)});
  } else {
    out.insert(out.end(), {0x82, static_cast<unsigned char>(n >> 8), static_cast<unsigned char>(n)});
  }
  out.insert(out.end(), content.begin(), content.end());
  return out;
}

std::vector<Bytes> Elements(std::span<const unsigned char> tlv) {
  const Tlv outer = ParseTlv(tlv);
  std::vector<Bytes> out;
  std::size_t at = outer.header;
  const std::size_t end = outer.header + outer.length;
  while (at < end) {
    const Tlv t = ParseTlv(tlv.subspan(at));
    out.emplace_back(tlv.begin() + static_cast<long>(at), tlv.begin() + static_cast<long>(at + t.header + t.length));
    at += t.header + t.length;
  }
  return out;
}

Bytes Join(const std::vector<Bytes>& parts) {
  Bytes out;
  for (const Bytes& p : parts) out.insert(out.end(), p.begin(), p.end());
  return out;
}

bool BnEq(const BIGNUM* a, const BIGNUM* b) {
  if (a == nullptr || b == nullptr) return a == b;
  return BN_cmp(a, b) == 0;
}

}  // namespace qcrypto::keytest
