// The token medium over the token SDK ("Vexil" paths): an OpenSSL BIO that
// reads a token file whole when it opens and writes it back when flushed,
// reset or freed, plus the presence, folder and delete helpers.
//
// The SDK is bound by name once the crypto library starts (load_token_sdk).
// Token paths are 4-hex-digit file ids under the root folder 3f00\e007;
// a relative path is put there. Calls that need the PIN log in through the
// password set on the BIO, the open options, or the token-password
// callback, and repeat the call once.
#pragma once

#include <openssl/bio.h>

#include <cstdint>
#include <string>
#include <vector>

#include "crypto/bio/media_drivers.h"

namespace qcrypto {

using TOKEN_PASSWORD_CALLBACK = VX_PASSWORD_CALLBACK;

// Controls of the token BIOs beyond the stock ones.
constexpr int VXBIO_CTRL_SET_PASSWORD_CALLBACK = 143;
constexpr int VXBIO_CTRL_SET_PROTECTION = 144;
constexpr int VXBIO_CTRL_SET_PASSWORD = 145;
constexpr int VXBIO_CTRL_SET_CALLBACK_ARG = 146;
constexpr int VXBIO_CTRL_GET_FLAGS = 147;
constexpr int VXBIO_CTRL_SET_FLAGS = 148;
// Flags word bits.
constexpr uint32_t VXSDK_FLAG_DELETED = 0x1;
constexpr uint32_t VXSDK_FLAG_LOGOUT_EACH = 0x2;
constexpr std::size_t TOKEN_PASSWORD_MAX = 255;

// One entry of a folder listing.
struct VEXIL_FILE_INFO {
  char name[8];  // the id as "%04x"
  int32_t is_file;
  int32_t is_directory;
  int32_t sdk_flags;
  int32_t reserved;
  int32_t size;  // files only
};
VEXIL_FILE_INFO* VEXIL_FILE_INFO_new();
void vxdk_file_info_free(VEXIL_FILE_INFO* entry);

int load_token_sdk();
void unload_token_sdk();
int vxdk_bound();

// The callback new contexts start with.
void vxdk_set_password_callback(TOKEN_PASSWORD_CALLBACK callback);

const BIO_METHOD* BIO_s_vxdk();

// 1 when the path opens (nothing stays open, the error queue is cleared).
int vxdk_present(const char* path);
int vxdk_is_directory(const char* path);
// Appends one entry per sub-folder, then per file; 1 when the path is a
// folder. The caller frees the entries.
int vxdk_list_directory(const char* path, std::vector<VEXIL_FILE_INFO*>* out);
// Deletes the file the BIO has open (its bytes zeroed first); nothing is
// written back afterwards.
int VXSDK_delete(BIO* bio);
// 1 when the file is gone: deleted now or not there at all.
int vxdk_erase(const char* path, uint32_t opt_flags, const char* opt_password);

// Readers of the SDK's answers. The reader name of an enumeration record,
// never read beyond its field; a listing entry from an enumeration answer.
std::string vxdk_reader_name(const VXReaderInfo& info);
void vxdk_fill_entry(VEXIL_FILE_INFO* entry, const VXObjectInfo& info, bool folder);

// The medium text with a relative token path put under 3f00\e007.
std::string vxdk_normalise(const char* text, std::size_t keyword_length);

}  // namespace qcrypto
