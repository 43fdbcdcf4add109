#include "crypto/evp/objects.h"

#include <strings.h>

#include <algorithm>
#include <cstring>
#include <iterator>

namespace qcrypto {
namespace {

constexpr SysObjectRow kRows[] = {
    {171, "Veltrana", "Veltrana, JSC", "1.3.6.1.4.1.6173"},
    {172, "RUS-CHANGE", "rus-change", "1.3.6.1.4.1.6173.1.1.1"},
    {173, "RUS-GAMMA", "rus-gamma", "1.3.6.1.4.1.6173.1.1.2"},
    {174, "RUS-GAMMAR", "rus-gammar", "1.3.6.1.4.1.6173.1.1.3"},
    {175, "RUS-IMITO", "rus-imito", "1.3.6.1.4.1.6173.1.7.1"},
    {176, "RUS-HASH", "rus-hash", "1.3.6.1.4.1.6173.1.2.1"},
    {177, "R3410", "r3410", "1.3.6.1.4.1.6173.1.1.5"},
    {178, "R3410-R3411", "r3410WithR3411", "1.3.6.1.4.1.6173.1.3.1"},
    {179, "pbeWithR3411AndGOST", "pbeWithR3411AndGOST", "1.3.6.1.4.1.6173.1.5.1"},
    {180, "hmacWithR3411", "hmacWithR3411", "1.3.6.1.4.1.6173.1.7.2"},
    {181, "ECR3410", "ecr3410", "1.3.6.1.4.1.6173.1.6.2"},
    {182, "ECR3410-R3411", "ecr3410WithR3411", "1.3.6.1.4.1.6173.1.3.2"},
    {183, "GOST-WRAP", "gostWrap", "1.3.6.1.4.1.6173.1.4.1"},
    {184, "SMIME", "smime", "1.2.840.113549.1.9.16"},
    {185, "ESDH", "esdh", "1.2.840.113549.1.9.16.3.5"},
    {186, "3DES-WRAP", "3desWrap", "1.2.840.113549.1.9.16.3.6"},
    {187, "RC2-WRAP", "rc2Wrap", "1.2.840.113549.1.9.16.3.7"},
    {188, "dh-public-number", "dh-public-number", "1.2.840.10046.2.1"},
    {189, nullptr, nullptr, "1.2.840.10045.1.1"},
    {190, nullptr, nullptr, "1.2.840.10045.1.2"},
    {191, nullptr, nullptr, "1.2.840.10045.3.1.7"},
    {192, "id-ecPublicKey", "id-ecPublicKey", "1.2.840.10045.2.1"},
    {193, "dh-SinglePass-stdDH-sha1kdf", "dh-SinglePass-stdDH-sha1kdf", "1.3.133.16.840.63.0.2"},
    {194, "dh-SinglePass-cofactorDH-sha1kdf", "dh-SinglePass-cofactorDH-sha1kdf", "1.3.133.16.840.63.0.3"},
    {195, "r3410-ESDH-r3411kdf", "r3410-ESDH-r3411kdf", "1.3.6.1.4.1.6173.1.8.1"},
    {196, "ecdh-SinglePass-stdDH-r3411kdf", "ecdh-SinglePass-stdDH-r3411kdf", "1.3.6.1.4.1.6173.1.8.2"},
    {197, "ecdh-SinglePass-cofactorDH-r3411kdf", "ecdh-SinglePass-cofactorDH-r3411kdf", "1.3.6.1.4.1.6173.1.8.3"},
    {259, "User Registration Request", "User Registration Request", "1.3.6.1.4.1.6173.2.1.1"},
    {260, "User Registration Response", "User Registration Response", "1.3.6.1.4.1.6173.2.1.2"},
    {261, "encryptedData", "encryptedData", "1.2.840.113549.1.9.16.1.9"},
    {262, "zlibCompress", "zlibCompress", "1.2.840.113549.1.9.16.3.8"},
    {263, "CryptoPro", "CryptoPro", "1.2.643.2.2"},
    {264, "CryptoPro-hashes", "CryptoPro-hashes", "1.2.643.2.2.30"},
    {265, "CryptoPro-encrypts", "CryptoPro-encrypts", "1.2.643.2.2.31"},
    {266, "CryptoPro-signs", "CryptoPro-signs", "1.2.643.2.2.32"},
    {267, "CryptoPro-exchanges", "CryptoPro-exchanges", "1.2.643.2.2.33"},
    {268, "CryptoPro-extensions", "CryptoPro-extensions", "1.2.643.2.2.34"},
    {269, "CryptoPro-ecc-signs", "CryptoPro-ecc-signs", "1.2.643.2.2.35"},
    {270, "CryptoPro-ecc-exchanges", "CryptoPro-ecc-exchanges", "1.2.643.2.2.36"},
    {271, "CryptoPro-GostR3410-2001", "CryptoPro-GostR3410-2001", "1.2.643.2.2.19"},
    {272, "CryptoPro-GostR3410-94", "CryptoPro-GostR3410-94", "1.2.643.2.2.20"},
    {273, "CryptoPro-GostR3411-94-with-GostR3410-2001", "CryptoPro-GostR3411-94-with-GostR3410-2001", "1.2.643.2.2.3"},
    {274, "CryptoPro-GostR3411-94-with-GostR3410-94", "CryptoPro-GostR3411-94-with-GostR3410-94", "1.2.643.2.2.4"},
    {275, "CryptoPro-GostR3411-94-ParamSet", "CryptoPro-GostR3411-94-ParamSet", "1.2.643.2.2.30.1"},
    {276, "CryptoPro-GostR3410-94-A-ParamSet", "CryptoPro-GostR3410-94-A-ParamSet", "1.2.643.2.2.32.2"},
    {277, "CryptoPro-GostR3410-94-B-ParamSet", "CryptoPro-GostR3410-94-B-ParamSet", "1.2.643.2.2.32.3"},
    {278, "CryptoPro-GostR3410-94-C-ParamSet", "CryptoPro-GostR3410-94-C-ParamSet", "1.2.643.2.2.32.4"},
    {279, "CryptoPro-GostR3410-94-D-ParamSet", "CryptoPro-GostR3410-94-D-ParamSet", "1.2.643.2.2.32.5"},
    {280, "CryptoPro-GostR3410-94-XchA-ParamSet", "CryptoPro-GostR3410-94-XchA-ParamSet", "1.2.643.2.2.33.1"},
    {281, "CryptoPro-GostR3410-94-XchB-ParamSet", "CryptoPro-GostR3410-94-XchB-ParamSet", "1.2.643.2.2.33.2"},
    {282, "CryptoPro-GostR3410-94-XchC-ParamSet", "CryptoPro-GostR3410-94-XchC-ParamSet", "1.2.643.2.2.33.3"},
    {283, "CryptoPro-GostR3410-2001-A-ParamSet", "CryptoPro-GostR3410-2001-A-ParamSet", "1.2.643.2.2.35.1"},
    {284, "CryptoPro-GostR3410-2001-B-ParamSet", "CryptoPro-GostR3410-2001-B-ParamSet", "1.2.643.2.2.35.2"},
    {285, "CryptoPro-GostR3410-2001-C-ParamSet", "CryptoPro-GostR3410-2001-C-ParamSet", "1.2.643.2.2.35.3"},
    {286, "CryptoPro-GostR3410-2001-XchA-ParamSet", "CryptoPro-GostR3410-2001-XchA-ParamSet", "1.2.643.2.2.36.0"},
    {287, "CryptoPro-GostR3410-2001-XchB-ParamSet", "CryptoPro-GostR3410-2001-XchB-ParamSet", "1.2.643.2.2.36.1"},
    {288, "CryptoPro-GostR3411-94", "CryptoPro-GostR3411-94", "1.2.643.2.2.9"},
    {289, "CryptoPro-Gost28147-89", "CryptoPro-Gost28147-89", "1.2.643.2.2.21"},
    {290, "CryptoPro-Gost28147-89-MAC", "CryptoPro-Gost28147-89-MAC", "1.2.643.2.2.22"},
    {291, "CryptoPro-Gost28147-89-A-ParamSet", "CryptoPro-Gost28147-89-A-ParamSet", "1.2.643.2.2.31.1"},
    {292, "CryptoPro-Gost28147-89-B-ParamSet", "CryptoPro-Gost28147-89-B-ParamSet", "1.2.643.2.2.31.2"},
    {293, "CryptoPro-Gost28147-89-C-ParamSet", "CryptoPro-Gost28147-89-C-ParamSet", "1.2.643.2.2.31.3"},
    {294, "CryptoPro-Gost28147-89-D-ParamSet", "CryptoPro-Gost28147-89-D-ParamSet", "1.2.643.2.2.31.4"},
    {295, "CryptoPro-Gost28147-89-Simple-A-ParamSet", "CryptoPro-Gost28147-89-Simple-A-ParamSet", "1.2.643.2.2.31.6"},
    {296, "CryptoPro-Gost28147-89-Simple-B-ParamSet", "CryptoPro-Gost28147-89-Simple-B-ParamSet", "1.2.643.2.2.31.6"},
    {297, "CryptoPro-Gost28147-89-Simple-C-ParamSet", "CryptoPro-Gost28147-89-Simple-C-ParamSet", "1.2.643.2.2.31.8"},
    {298, "CryptoPro-Gost28147-89-Simple-D-ParamSet", "CryptoPro-Gost28147-89-Simple-D-ParamSet", "1.2.643.2.2.31.9"},
    {299, "MD PREI", "MD PREI", "1.3.6.1.4.1.3670"},
    {300, "VALIDATA", "VALIDATA", "1.3.6.1.4.1.10244"},
    {301, "Key Usage (MD PREI)", "Key Usage (MD PREI)", "1.3.6.1.4.1.3670.4.3"},
    {302, "Certificates (MD PREI)", "Certificates (MD PREI)", "1.3.6.1.4.1.3670.4.5"},
    {303, "CRLs (MD PREI)", "CRLs (MD PREI)", "1.3.6.1.4.1.3670.4.6"},
    {304, "Registration Certificate (MD PREI)", "Registration Certificate (MD PREI)", "1.3.6.1.4.1.3670.4.15"},
    {305, "Private Key ID (VALIDATA)", "Private Key ID (VALIDATA)", "1.3.6.1.4.1.10244.4.3"},
    {306, "Previous Certificate (VALIDATA)", "Previous Certificate (VALIDATA)", "1.3.6.1.4.1.10244.4.6"},
    {307, "Elliptic Curve Diffie-Hellman", "Elliptic Curve Diffie-Hellman", "1.3.6.1.4.1.6173.1.8.5"},
};

bool same_text(const char* a, const char* b) { return a != nullptr && b != nullptr && strcasecmp(a, b) == 0; }

}  // namespace

std::span<const SysObjectRow> sysobj_rows() { return kRows; }

std::optional<SysObjectRow> sysobj_find(int number) {
  const auto* it = std::lower_bound(std::begin(kRows), std::end(kRows), number,
                                    [](const SysObjectRow& r, int n) { return r.number < n; });
  if (it == std::end(kRows) || it->number != number) return std::nullopt;
  return *it;
}

std::optional<SysObjectRow> sysobj_find_name(const char* name) {
  if (name == nullptr) return std::nullopt;
  for (const auto& r : kRows) {
    if (same_text(r.short_name, name) || same_text(r.long_name, name) || std::strcmp(r.oid, name) == 0) return r;
  }
  return std::nullopt;
}

}  // namespace qcrypto
