// Shared by the start/stop tests and the library copies they load: one
// round of real work through the started library.
#pragma once

#include <cstddef>

namespace qcrypto::testing_support {

// What one round found; every field is filled even when a step fails.
struct LibraryRound {
  int references_while_started = -1;
  int references_after_stop = -1;
  int registered = 0;
  int random_installed = 0;         // a method was installed while started
  int digest_matches = 0;           // EVP digest equals the direct call
  int signature_verifies = 0;       // EVP signature verifies with the direct call
  int flipped_signature_fails = 0;  // and a flipped bit does not
  int record_key_refused = 0;       // the library's key record was not taken as an EVP key
  int spki_verifies = 0;            // a direct signature verifies through EVP with the
                                    // public key decoded from its SubjectPublicKeyInfo
  int flipped_spki_fails = 0;       // and a flipped bit does not
  int key_nid = 0;                  // run-time NID of the 2001 key type
  int signature_nid = 0;            // run-time NID of its signature object
  // A self-signed certificate (DER) over the record key, signed through EVP
  // by the provider of the copy that ran the round; 0 bytes when that failed.
  char provider_name[32] = {};  // the name the copy's provider runs under
  unsigned char certificate[2048] = {};
  int certificate_length = 0;
};

// Starts the library, hashes `message` through EVP and directly, makes a key
// pair from the library's own random generator, signs through EVP and checks
// the signature with the direct verification, signs directly and checks that
// through EVP with the key decoded from its SubjectPublicKeyInfo, stops the
// library.
void run_library_round(const unsigned char* message, std::size_t length, LibraryRound* out);

// Starts the library, checks a DER certificate's signature with its own
// public key (X509_verify: 1 good, 0 bad, -1 not checked), stops.
int run_certificate_check(const unsigned char* der, std::size_t length);

}  // namespace qcrypto::testing_support
