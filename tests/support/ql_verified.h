// What the toolkit reads back from a signed message, for tests that sign
// through it and check the result.
#pragma once

#include <memory>
#include <vector>

#include "quillon2/ql_codes.h"
#include "quillon2/ql_frame.h"
#include "quillon2/ql_sign.h"

namespace test_support {

// The content of an attached signed message as the toolkit's short verify
// gives it: {} when the message does not verify.
inline std::vector<unsigned char> ql_verified_content(const std::vector<unsigned char>& message) {
  const std::unique_ptr<quillon2::QL_SIGN_SET, void (*)(quillon2::QL_SIGN_SET*)> checking(quillon2::QL_SIGN_SET_new(),
                                                                                          quillon2::QL_SIGN_SET_free);
  unsigned char* content = nullptr;
  long length = 0;
  const int rc = quillon2::QL_verify_data_short(checking.get(), message.data(), static_cast<long>(message.size()),
                                                &content, &length, 1);
  std::vector<unsigned char> out;
  if (rc == quillon2::QL_OK && content != nullptr) out.assign(content, content + length);
  quillon2::QL_free(content);
  return out;
}

}  // namespace test_support
