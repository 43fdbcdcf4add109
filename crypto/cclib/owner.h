// One owner for every C record of the library and of OpenSSL.
//
// A record type gets its owner by naming its free function once, next to the
// type's declaration:
//
//   QCRYPTO_DECLARE_OWNER(ECPOINT, ECPOINT_free)
//
// after which `UniquePtr<ECPOINT>` frees it with that function. Records that
// held a secret are declared with their wiping free function instead
// (`BN_clear_free`), or through `SecretUniquePtr` where one type has both.
#pragma once

#include <memory>

namespace qcrypto {

// Specialised once per record type by QCRYPTO_DECLARE_OWNER.
template <class T>
struct OwnerTraits;

template <class T>
struct OwnerFree {
  void operator()(T* p) const noexcept { OwnerTraits<T>::release(p); }
};

template <class T>
using UniquePtr = std::unique_ptr<T, OwnerFree<T>>;

// A second owner for types that also have a wiping free function
// (declared with QCRYPTO_DECLARE_SECRET_OWNER).
template <class T>
struct SecretOwnerTraits;

template <class T>
struct SecretOwnerFree {
  void operator()(T* p) const noexcept { SecretOwnerTraits<T>::release(p); }
};

template <class T>
using SecretUniquePtr = std::unique_ptr<T, SecretOwnerFree<T>>;

}  // namespace qcrypto

// Both macros are used at namespace scope outside any namespace. Their
// arguments are a type name and a function name: in parentheses, `(Type)* p`
// would not declare a parameter and `(Type)` is no template argument.
// NOLINTBEGIN(bugprone-macro-parentheses)
#define QCRYPTO_DECLARE_OWNER(Type, free_fn)              \
  template <>                                             \
  struct qcrypto::OwnerTraits<Type> {                     \
    static void release(Type* p) noexcept { free_fn(p); } \
  };

#define QCRYPTO_DECLARE_SECRET_OWNER(Type, clear_free_fn)       \
  template <>                                                   \
  struct qcrypto::SecretOwnerTraits<Type> {                     \
    static void release(Type* p) noexcept { clear_free_fn(p); } \
  };
// NOLINTEND(bugprone-macro-parentheses)
