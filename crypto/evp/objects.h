// The system's own object numbers and the rows it adds to the objects table.
//
// Numbers up to 170 are OpenSSL's NIDs and are used as they are. From 171 up
// the numbers are the system's own and clash with OpenSSL 3's NIDs: they are
// never handed to OpenSSL; a number is turned into a run-time NID through its
// OID when the algorithms are registered.
#pragma once

#include <optional>
#include <span>

namespace qcrypto {

// Highest number that is also OpenSSL's NID for the same object.
constexpr int SYSOBJ_LAST_OPENSSL_NID = 170;

enum SysObj : int {
  SYSOBJ_Veltrana = 171,
  SYSOBJ_RUS_CHANGE = 172,
  SYSOBJ_RUS_GAMMA = 173,
  SYSOBJ_RUS_GAMMAR = 174,
  SYSOBJ_RUS_IMITO = 175,
  SYSOBJ_RUS_HASH = 176,
  SYSOBJ_R3410 = 177,
  SYSOBJ_R3410_R3411 = 178,
  SYSOBJ_pbeWithR3411AndGOST = 179,
  SYSOBJ_hmacWithR3411 = 180,
  SYSOBJ_ECR3410 = 181,
  SYSOBJ_ECR3410_R3411 = 182,
  SYSOBJ_GOST_WRAP = 183,
  SYSOBJ_SMIME = 184,
  SYSOBJ_ESDH = 185,
  SYSOBJ_3DES_WRAP = 186,
  SYSOBJ_RC2_WRAP = 187,
  SYSOBJ_dh_public_number = 188,
  SYSOBJ_obj_189 = 189,
  SYSOBJ_obj_190 = 190,
  SYSOBJ_obj_191 = 191,
  SYSOBJ_id_ecPublicKey = 192,
  SYSOBJ_dh_SinglePass_stdDH_sha1kdf = 193,
  SYSOBJ_dh_SinglePass_cofactorDH_sha1kdf = 194,
  SYSOBJ_r3410_ESDH_r3411kdf = 195,
  SYSOBJ_ecdh_SinglePass_stdDH_r3411kdf = 196,
  SYSOBJ_ecdh_SinglePass_cofactorDH_r3411kdf = 197,
  SYSOBJ_User_Registration_Request = 259,
  SYSOBJ_User_Registration_Response = 260,
  SYSOBJ_encryptedData = 261,
  SYSOBJ_zlibCompress = 262,
  SYSOBJ_CryptoPro = 263,
  SYSOBJ_CryptoPro_hashes = 264,
  SYSOBJ_CryptoPro_encrypts = 265,
  SYSOBJ_CryptoPro_signs = 266,
  SYSOBJ_CryptoPro_exchanges = 267,
  SYSOBJ_CryptoPro_extensions = 268,
  SYSOBJ_CryptoPro_ecc_signs = 269,
  SYSOBJ_CryptoPro_ecc_exchanges = 270,
  SYSOBJ_CryptoPro_GostR3410_2001 = 271,
  SYSOBJ_CryptoPro_GostR3410_94 = 272,
  SYSOBJ_CryptoPro_GostR3411_94_with_GostR3410_2001 = 273,
  SYSOBJ_CryptoPro_GostR3411_94_with_GostR3410_94 = 274,
  SYSOBJ_CryptoPro_GostR3411_94_ParamSet = 275,
  SYSOBJ_CryptoPro_GostR3410_94_A_ParamSet = 276,
  SYSOBJ_CryptoPro_GostR3410_94_B_ParamSet = 277,
  SYSOBJ_CryptoPro_GostR3410_94_C_ParamSet = 278,
  SYSOBJ_CryptoPro_GostR3410_94_D_ParamSet = 279,
  SYSOBJ_CryptoPro_GostR3410_94_XchA_ParamSet = 280,
  SYSOBJ_CryptoPro_GostR3410_94_XchB_ParamSet = 281,
  SYSOBJ_CryptoPro_GostR3410_94_XchC_ParamSet = 282,
  SYSOBJ_CryptoPro_GostR3410_2001_A_ParamSet = 283,
  SYSOBJ_CryptoPro_GostR3410_2001_B_ParamSet = 284,
  SYSOBJ_CryptoPro_GostR3410_2001_C_ParamSet = 285,
  SYSOBJ_CryptoPro_GostR3410_2001_XchA_ParamSet = 286,
  SYSOBJ_CryptoPro_GostR3410_2001_XchB_ParamSet = 287,
  SYSOBJ_CryptoPro_GostR3411_94 = 288,
  SYSOBJ_CryptoPro_Gost28147_89 = 289,
  SYSOBJ_CryptoPro_Gost28147_89_MAC = 290,
  SYSOBJ_CryptoPro_Gost28147_89_A_ParamSet = 291,
  SYSOBJ_CryptoPro_Gost28147_89_B_ParamSet = 292,
  SYSOBJ_CryptoPro_Gost28147_89_C_ParamSet = 293,
  SYSOBJ_CryptoPro_Gost28147_89_D_ParamSet = 294,
  SYSOBJ_CryptoPro_Gost28147_89_Simple_A_ParamSet = 295,
  SYSOBJ_CryptoPro_Gost28147_89_Simple_B_ParamSet = 296,
  SYSOBJ_CryptoPro_Gost28147_89_Simple_C_ParamSet = 297,
  SYSOBJ_CryptoPro_Gost28147_89_Simple_D_ParamSet = 298,
  SYSOBJ_MD_PREI = 299,
  SYSOBJ_VALIDATA = 300,
  SYSOBJ_Key_Usage_MD_PREI = 301,
  SYSOBJ_Certificates_MD_PREI = 302,
  SYSOBJ_CRLs_MD_PREI = 303,
  SYSOBJ_Registration_Certificate_MD_PREI = 304,
  SYSOBJ_Private_Key_ID_VALIDATA = 305,
  SYSOBJ_Previous_Certificate_VALIDATA = 306,
  SYSOBJ_Elliptic_Curve_Diffie_Hellman = 307,
};

struct SysObjectRow {
  int number;
  const char* short_name;  // null for rows that carry only an OID
  const char* long_name;
  const char* oid;  // dotted form
};

// Every added row, ordered by number.
std::span<const SysObjectRow> sysobj_rows();

// The row of a number, or nullopt when the system adds no such row.
std::optional<SysObjectRow> sysobj_find(int number);

// The first row (lowest number) whose short or long name equals `name`
// (case-insensitive), or whose OID equals it.
std::optional<SysObjectRow> sysobj_find_name(const char* name);

// Registers every row with OpenSSL's objects table, once per process: an OID
// that OpenSSL (or another copy of this library in the same process) already
// knows keeps its NID; the others are created under their names (a name that
// OpenSSL already gives to a different object is left off). 1 when every row
// has a NID afterwards, 0 otherwise.
int sysobj_register();

// The run-time NID of a system number: numbers up to 170 are OpenSSL's NIDs
// and come back unchanged; a row's number gives the NID registered for its OID
// (registering first when needed); anything else gives 0 (NID_undef).
int sysobj_nid(int number);

// The system number of a run-time NID: the inverse of sysobj_nid for the rows
// (the lowest row when two rows share an OID), the NID itself up to 170, and 0
// for anything else.
int sysobj_number(int nid);

// The key type of an object, over the system's numbers: RSA 6 and 19 -> 6;
// DH 28 -> 28; DSA 66, 67, 70, 113, 116 -> 116; GOST R 34.10-94 177, 178 -> 177;
// GOST R 34.10-2001 181, 182 -> 181; anything else -> 0.
int EVP_PKEY_type(int type);

}  // namespace qcrypto
