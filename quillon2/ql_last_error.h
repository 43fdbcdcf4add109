// The calling thread's last toolkit result code. Toolkit functions that
// return a value (a count, a pointer, a flag) set it to 0 on entry and to
// their failure code on failure; the caller reads it afterwards.
//
// The code is kept in the thread's error state of the crypto library, beside
// its error queue, so qcrypto::ERR_clear_error clears both at once. OpenSSL's
// own ::ERR_clear_error cannot reach it (OpenSSL has no slot for it and no
// hook on clearing); the toolkit and the engine clear through the library's.
#pragma once

namespace quillon2 {

void QL_set_last_error(int code);
// 0 when the thread has no result recorded.
int QL_get_last_error();

}  // namespace quillon2
