// The byte-shuffle round built for AVX-512 processors (see gost28147_shuffle.h).
#include "crypto/rus/gost28147_shuffle.h"

namespace qcrypto::gost_detail {

const CtRound kShuffleRound512 = shuffle::kRound;

}  // namespace qcrypto::gost_detail
