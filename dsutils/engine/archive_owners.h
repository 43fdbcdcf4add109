// Owners of libarchive's records. archive_free() dispatches to the reader's
// or the writer's own free, so one owner serves both kinds of handle.
#pragma once

#include <archive.h>
#include <archive_entry.h>

#include "crypto/cclib/owner.h"

QCRYPTO_DECLARE_OWNER(archive, archive_free)
QCRYPTO_DECLARE_OWNER(archive_entry, archive_entry_free)
