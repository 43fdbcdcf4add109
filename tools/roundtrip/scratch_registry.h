// The engine's settings tree for the scratch user of make_scratch_pki: the
// executor entry (its key container, format 3.1), the same certificate as a
// recipient ("executor"), the CA and the CRL folder, written to the tree the
// registry store opens (DOSSAR_REGISTRY_DB).
#pragma once

#include <string>

#include "tools/roundtrip/scratch_pki.h"

namespace roundtrip {

// Empty on success, else what failed.
std::string write_scratch_registry(const ScratchPki& pki);

}  // namespace roundtrip
