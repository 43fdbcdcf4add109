// Key blocks under a container's key-encryption key; the container itself is
// crypto/pse/pse.h.
#pragma once

#include "crypto/pse/pse.h"
