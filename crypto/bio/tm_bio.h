// The Touch-Memory medium ("iButton" paths): an OpenSSL BIO that reads a
// button file whole when it opens and programs it back when it is flushed
// or freed, through the driver library bound by name at library start.
// Every failing driver step may be shown to the user through the message
// callback, whose answer decides whether the step is tried again.
#pragma once

#include <openssl/bio.h>

#include <string>

#include "crypto/bio/media_drivers.h"

namespace qcrypto {

// (port: number in the low 16 bits, in the file probe the type in the
// high 16; a word without fixed meaning; the driver's status, -1 for 0)
// -> non-zero to try the step again.
using TM_MESSAGE_CALLBACK = int (*)(int port, int word, int status);

int TM_bind_driver();
int TM_load();
void TM_unload();
int TM_bound();

void tm_set_message_callback(TM_MESSAGE_CALLBACK callback);
int tm_message(int port, int word, int status);

// Splits a path; 1 when its port part is known. With both records given, a
// bad name or folder, or more than 10 folder levels, marks the file entry
// invalid (extension 127).
int tm_parse_path(const char* path, short* port_number, short* port_type, TM_DIR_PATH* dir, TM_FILE_ENTRY* file);

// The name of a directory entry the driver answered, without its padding
// (cut at the first blank or zero byte, at most 4 characters).
std::string tm_entry_name(const TM_FILE_ENTRY& entry);

int tm_probe_file(const char* path);
// 1 when the file was deleted or was not there.
int tm_erase(const char* path);

// A walk over the entries of the folder that holds the last component.
struct TM_WALK {
  long session = 0;
  TM_FILE_ENTRY entry{};
  bool has_entry = false;
};
int tm_dir_first(const char* path, TM_WALK* walk);
int tm_dir_next(TM_WALK* walk);
void tm_dir_close(TM_WALK* walk);

const BIO_METHOD* BIO_s_tm();

}  // namespace qcrypto
