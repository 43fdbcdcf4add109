// Point encodings (00 / 02 x / 03 x / 04 x y), their hexadecimal text form and
// the acceptance check for public points. Encoded points come from files and
// peers: lengths are exact, coordinates must be below p and the point must lie
// on the curve.
#include <openssl/crypto.h>

#include <cctype>
#include <cstring>
#include <string>

#include "crypto/bn/bn_owner.h"
#include "crypto/ec/ec_internal.h"

namespace qcrypto {
namespace {

// Longest text accepted by the hexadecimal decoder: two coordinates of a
// 4096-bit field with the prefix.
constexpr std::size_t kMaxHexText = 2 + 2 * 1024;

bool CurveReady(const ECURVE* c) {
  return c != nullptr && c->p != nullptr && c->method != nullptr && !BN_is_negative(c->p) && BN_is_odd(c->p) &&
         BN_num_bits(c->p) >= 2;
}

int FieldBytes(const ECURVE* c) { return (BN_num_bits(c->p) + 7) / 8; }

bool Below(const BIGNUM* v, const BIGNUM* p) { return !BN_is_negative(v) && BN_cmp(v, p) < 0; }

// First byte of an encoding.
enum Form : int { kInfinity = 0x00, kEven = 0x02, kOdd = 0x03, kFull = 0x04 };

// Builds the point of the given form from x (and y for the full form) on a
// new point, checks it, and stores it into *out (a new point when *out is
// null; an existing one is changed only on success).
ECPOINT* Finish(ECPOINT** out, ECURVE* c, int form, const BIGNUM* x, const BIGNUM* y, int func) {
  UniquePtr<ECPOINT> t(ECPOINT_new(c));
  if (t == nullptr) {
    EC_RAISE(func);
    return nullptr;
  }
  BnCtxPtr ctx = EcNewCtx();
  if (ctx == nullptr) {
    EC_RAISE_ALLOC(func);
    return nullptr;
  }
  if (form == kInfinity) {
    if (!ECPOINT_set_infinity(t.get())) {
      EC_RAISE(func);
      return nullptr;
    }
  } else {
    if (!Below(x, c->p) || (form == kFull && !Below(y, c->p))) {
      EC_RAISE(func);
      return nullptr;
    }
    if (form == kFull) {
      if (!ec_point_set_affine_xy(t.get(), x, y) || ECPOINT_lies(t.get(), ctx.get()) != 1) {
        EC_RAISE(func);
        return nullptr;
      }
    } else {
      BnPtr zero(BN_new());
      if (zero == nullptr || !ec_point_set_affine_xy(t.get(), x, zero.get()) ||
          !ECPOINT_derive(t.get(), c, form == kOdd, ctx.get())) {
        EC_RAISE(func);
        return nullptr;
      }
    }
    // In affine form (0, 0) stands for infinity; a finite encoding that lands
    // there is no point at all, and only "00" encodes infinity.
    if (ECPOINT_is_infinity(t.get())) {
      EC_RAISE(func);
      return nullptr;
    }
  }
  if (out == nullptr) return t.release();
  if (*out == nullptr) {
    *out = t.release();
    return *out;
  }
  ec_point_swap_coords(*out, t.get());
  (*out)->curve = c;
  return *out;
}

}  // namespace

int ECPOINT_point2bin(const ECPOINT* point, unsigned char** buffer, int compressed) {
  if (point == nullptr || buffer == nullptr || !CurveReady(point->curve)) {
    EC_RAISE(ECGOST_F_ECPOINT_POINT2BIN);
    return 0;
  }
  const int L = FieldBytes(point->curve);
  if (ECPOINT_is_infinity(point)) {
    auto* out = static_cast<unsigned char*>(OPENSSL_zalloc(2));
    if (out == nullptr) {
      EC_RAISE_ALLOC(ECGOST_F_ECPOINT_POINT2BIN);
      return 0;
    }
    *buffer = out;
    return 1;
  }
  BnCtxPtr ctx = EcNewCtx();
  BnPtr x(BN_new()), y(BN_new());
  if (ctx == nullptr || x == nullptr || y == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_POINT2BIN);
    return 0;
  }
  if (!ec_point_affine_xy(point, x.get(), y.get(), ctx.get()) || !Below(x.get(), point->curve->p) ||
      !Below(y.get(), point->curve->p)) {
    EC_RAISE(ECGOST_F_ECPOINT_POINT2BIN);
    return 0;
  }
  const int length = compressed ? 1 + L : 1 + 2 * L;
  auto* out = static_cast<unsigned char*>(OPENSSL_zalloc(static_cast<std::size_t>(length) + 1));
  if (out == nullptr) {
    EC_RAISE_ALLOC(ECGOST_F_ECPOINT_POINT2BIN);
    return 0;
  }
  out[0] = compressed ? (BN_is_odd(y.get()) ? kOdd : kEven) : kFull;
  if (BN_bn2binpad(x.get(), out + 1, L) != L || (!compressed && BN_bn2binpad(y.get(), out + 1 + L, L) != L)) {
    OPENSSL_free(out);
    EC_RAISE(ECGOST_F_ECPOINT_POINT2BIN);
    return 0;
  }
  *buffer = out;
  return length;
}

ECPOINT* ECPOINT_bi2point(ECPOINT** point, const unsigned char* buffer, std::size_t length, ECURVE* curve) {
  if (buffer == nullptr || length == 0 || !CurveReady(curve)) {
    EC_RAISE(ECGOST_F_ECPOINT_BI2POINT);
    return nullptr;
  }
  const std::size_t L = static_cast<std::size_t>(FieldBytes(curve));
  const int form = buffer[0];
  std::size_t expected;
  switch (form) {
    case kInfinity:
      expected = 1;
      break;
    case kEven:
    case kOdd:
      expected = 1 + L;
      break;
    case kFull:
      expected = 1 + 2 * L;
      break;
    default:
      QERR(ERRLIB_ECGOST, ECGOST_F_ECPOINT_BI2POINT, ERR_R_INTERNAL);
      EC_RAISE(ECGOST_F_ECPOINT_BI2POINT);
      return nullptr;
  }
  if (length != expected) {
    EC_RAISE(ECGOST_F_ECPOINT_BI2POINT);
    return nullptr;
  }
  BnPtr x, y;
  if (form != kInfinity) {
    x.reset(BN_bin2bn(buffer + 1, static_cast<int>(L), nullptr));
    y.reset(form == kFull ? BN_bin2bn(buffer + 1 + L, static_cast<int>(L), nullptr) : BN_new());
    if (x == nullptr || y == nullptr) {
      EC_RAISE_ALLOC(ECGOST_F_ECPOINT_BI2POINT);
      return nullptr;
    }
  }
  return Finish(point, curve, form, x.get(), y.get(), ECGOST_F_ECPOINT_BI2POINT);
}

ECPOINT* ECPOINT_hex2point(ECPOINT** point, const char* text, ECURVE* curve) {
  if (text == nullptr || !CurveReady(curve)) {
    EC_RAISE(ECGOST_F_ECPOINT_HEX2POINT);
    return nullptr;
  }
  const std::size_t n = strnlen(text, kMaxHexText + 1);
  if (n < 2 || n > kMaxHexText) {
    EC_RAISE(ECGOST_F_ECPOINT_HEX2POINT);
    return nullptr;
  }
  for (std::size_t i = 0; i < n; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(text[i]))) {
      EC_RAISE(ECGOST_F_ECPOINT_HEX2POINT);
      return nullptr;
    }
  }
  const std::string prefix(text, 2);
  const std::string rest(text + 2, n - 2);
  int form;
  if (prefix == "00" && rest.empty()) {
    form = kInfinity;
  } else if (prefix == "04" && !rest.empty() && rest.size() % 2 == 0) {
    form = kFull;
  } else if ((prefix == "02" || prefix == "03") && !rest.empty()) {
    form = prefix == "03" ? kOdd : kEven;
  } else {
    EC_RAISE(ECGOST_F_ECPOINT_HEX2POINT);
    return nullptr;
  }
  BnPtr x, y;
  if (form != kInfinity) {
    const std::string xs = form == kFull ? rest.substr(0, rest.size() / 2) : rest;
    const std::string ys = form == kFull ? rest.substr(rest.size() / 2) : std::string("0");
    BIGNUM* bx = nullptr;
    BIGNUM* by = nullptr;
    const bool ok = BN_hex2bn(&bx, xs.c_str()) == static_cast<int>(xs.size()) &&
                    BN_hex2bn(&by, ys.c_str()) == static_cast<int>(ys.size());
    x.reset(bx);
    y.reset(by);
    if (!ok) {
      EC_RAISE(ECGOST_F_ECPOINT_HEX2POINT);
      return nullptr;
    }
  }
  return Finish(point, curve, form, x.get(), y.get(), ECGOST_F_ECPOINT_HEX2POINT);
}

int ECPOINT_check_public(const ECPOINT* point, int func, BN_CTX* given) {
  if (point == nullptr || !CurveReady(point->curve) || ECPOINT_is_infinity(point)) {
    EC_RAISE(func);
    return 0;
  }
  EcCtxOrOwn owner(given);
  BN_CTX* ctx = owner.get();
  if (ctx == nullptr) {
    EC_RAISE_ALLOC(func);
    return 0;
  }
  BnCtxFrame frame(ctx);
  BIGNUM* x = frame.get();
  BIGNUM* y = frame.get();
  if (y == nullptr || !ec_point_affine_xy(point, x, y, ctx) || !Below(x, point->curve->p) ||
      !Below(y, point->curve->p) || ECPOINT_lies(point, ctx) != 1) {
    EC_RAISE(func);
    return 0;
  }
  return 1;
}

ECPOINT* ECPOINT_bi2point_public(ECPOINT** point, const unsigned char* buffer, std::size_t length, ECURVE* curve) {
  UniquePtr<ECPOINT> t(ECPOINT_bi2point(nullptr, buffer, length, curve));
  if (t == nullptr || ECPOINT_is_infinity(t.get())) {
    EC_RAISE(ECGOST_F_ECPOINT_BI2POINT);
    return nullptr;
  }
  if (point == nullptr) return t.release();
  if (*point == nullptr) {
    *point = t.release();
    return *point;
  }
  ec_point_swap_coords(*point, t.get());
  (*point)->curve = curve;
  return *point;
}

}  // namespace qcrypto
