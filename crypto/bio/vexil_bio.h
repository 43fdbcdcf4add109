// The token medium over the older token API ("vxR2" paths): an OpenSSL BIO
// that reads a token file whole when it opens and writes it back when
// flushed, reset or freed; the token presence tests of both token media;
// and the one place the toolkit's token-password callback is set for both.
#pragma once

#include <openssl/bio.h>

#include <vector>

#include "crypto/bio/vxsdk_bio.h"

namespace qcrypto {

int VEXIL_load();
void VEXIL_unload();
int VEXIL_bound();

// Stores the callback for new contexts of both token media.
void vx_set_password_callback(TOKEN_PASSWORD_CALLBACK callback);

const BIO_METHOD* BIO_s_vexil();

// MEDIA_KIND_DIRECTORY, MEDIA_KIND_FILE or 0 for absent; "Vexil" paths go to
// the token-SDK medium.
int vx_present(const char* path);
// 1 when a token answers in the medium's reader (null: the default one).
int vx_token_present(const char* medium);
int vx_list_files(const char* path, std::vector<VEXIL_FILE_INFO*>* out);
// 1 when the file is gone: deleted now (zeroed first) or never there.
int vx_erase(const char* path);

// Readers of the API's answers. The size of a token file from its file
// information, or -1 for a folder or a size no token file can have (token
// files have 16-bit sizes); one entry of a folder listing appended to a
// std::vector<VEXIL_FILE_INFO*> (the listing callback handed to the API),
// 0 when out of memory.
int vx_file_size(const VEXIL_API_FILE_INFO& info);
int vx_list_append(void* list, const char* name, int is_directory, int size);

}  // namespace qcrypto
