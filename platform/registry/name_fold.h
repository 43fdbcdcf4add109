// Case folding of key and value names.
//
// Names are UTF-8. Windows compares them without case over the whole of
// Unicode; here ASCII and the Cyrillic block (U+0400..U+042F, which holds
// the Russian alphabet with Ё) are folded, which covers every name the
// product writes. Other characters compare exactly. Invalid UTF-8 is kept
// byte for byte.
#pragma once

#include <string>
#include <string_view>

namespace platform::reg {

std::string fold_name(std::string_view name);

}  // namespace platform::reg
