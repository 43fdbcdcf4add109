// Names decoded from certificates are printed in every code-page mode; the
// one-line text into a small buffer must stay inside it, and the whole
// one-line text must read back as exactly the name's entries.
#include <openssl/bio.h>
#include <openssl/x509.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

#include "crypto/x509/name_print.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const unsigned char* p = data;
  X509_NAME* name = d2i_X509_NAME(nullptr, &p, static_cast<long>(size));
  if (name == nullptr) return 0;
  const int modes[] = {0, 1, 2, 3, 5};
  for (int mode : modes) {
    qcrypto::X509_NAME_set_codepage_mode(mode);
    char* s = qcrypto::X509_NAME_oneline(name, nullptr, 0);
    if (s == nullptr) std::abort();
    if (qcrypto::X509_NAME_oneline_split(s).entries.size() != static_cast<size_t>(X509_NAME_entry_count(name)) ||
        qcrypto::X509_NAME_oneline_matches(name, s) != 1)
      std::abort();
    OPENSSL_free(s);
    char small[17];
    std::memset(small, 0x55, sizeof small);
    qcrypto::X509_NAME_oneline(name, small, 16);
    if (std::strlen(small) > 15 || small[16] != 0x55) std::abort();
    BIO* mem = BIO_new(BIO_s_mem());
    qcrypto::X509_NAME_print(mem, name, 0);
    qcrypto::X509_NAME_print_line(mem, name, 2, 0);
    BIO_free(mem);
  }
  qcrypto::X509_NAME_set_codepage_mode(1);
  X509_NAME_free(name);
  return 0;
}
