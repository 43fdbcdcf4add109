// The calling contracts of the three key-media driver libraries, shared by
// the medium BIOs and by the project's stand-ins for those libraries.
//
// Every exported name is resolved by name (platform/dynlib.h); the types
// below are the records that cross the library boundary. Nothing here is
// more than the contract: how a driver keeps its files is its own affair.
#pragma once

#include <cstdint>
#include <type_traits>

extern "C" {

// ---- Token SDK ("vxsdk") -------------------------------------------------
// The contract is the SDK's own header, shared with the SDK and the
// stand-in: every call answers a 32-bit result, 0 on success (PC/SC codes
// unchanged, card status words as 0x86E0xxxx). A handle is pointer-sized.
}  // extern "C"
#include "vxsdk/api/vxsdk_api.h"
extern "C" {

using VXHANDLE = VXHandle;
static_assert(sizeof(VXReaderInfo) == 264);
static_assert(sizeof(VXObjectInfo) == 8);

using VXReadersEnumOpen_fn = decltype(&VXReadersEnumOpen);
using VXReadersEnumNext_fn = decltype(&VXReadersEnumNext);
using VXReadersEnumClose_fn = decltype(&VXReadersEnumClose);
using VXTokenBind_fn = decltype(&VXTokenBind);
using VXTokenUnbind_fn = decltype(&VXTokenUnbind);
using VXTokenLogin_fn = decltype(&VXTokenLogin);
using VXTokenLogout_fn = decltype(&VXTokenLogout);
using VXTokenPinChange_fn = decltype(&VXTokenPinChange);
using VXTokenMaxPinGet_fn = decltype(&VXTokenMaxPinGet);
using VXTokenMinPinGet_fn = decltype(&VXTokenMinPinGet);
using VXTokenLabelGet_fn = decltype(&VXTokenLabelGet);
using VXTokenIDGet_fn = decltype(&VXTokenIDGet);
using VXRootDirOpen_fn = decltype(&VXRootDirOpen);
using VXDirCreate_fn = decltype(&VXDirCreate);
using VXDirOpen_fn = decltype(&VXDirOpen);
using VXDirGetInfo_fn = decltype(&VXDirGetInfo);
using VXDirDelete_fn = decltype(&VXDirDelete);
using VXDirClose_fn = decltype(&VXDirClose);
using VXDirEnumOpen_fn = decltype(&VXDirEnumOpen);
using VXDirEnumNext_fn = decltype(&VXDirEnumNext);
using VXDirEnumClose_fn = decltype(&VXDirEnumClose);
using VXFilesEnumOpen_fn = decltype(&VXFilesEnumOpen);
using VXFilesEnumNext_fn = decltype(&VXFilesEnumNext);
using VXFilesEnumClose_fn = decltype(&VXFilesEnumClose);
using VXFileOpen_fn = decltype(&VXFileOpen);
using VXFileCreate_fn = decltype(&VXFileCreate);
using VXFileRead_fn = decltype(&VXFileRead);
using VXFileWrite_fn = decltype(&VXFileWrite);
using VXFileDelete_fn = decltype(&VXFileDelete);
using VXFileGetInfo_fn = decltype(&VXFileGetInfo);
using VXFileClose_fn = decltype(&VXFileClose);
// The two enumerations have the same shape; the medium walks both alike.
static_assert(std::is_same_v<VXDirEnumOpen_fn, VXFilesEnumOpen_fn>);
static_assert(std::is_same_v<VXDirEnumNext_fn, VXFilesEnumNext_fn>);

// Results the medium relies on.
constexpr int32_t VX_END_OF_LIST = static_cast<int32_t>(0x80070103u);
constexpr int32_t VX_NO_SMARTCARD = static_cast<int32_t>(0x8010000Cu);
constexpr int32_t VX_REMOVED_CARD = static_cast<int32_t>(0x80100069u);
constexpr int32_t VX_SECURITY_NOT_SATISFIED = static_cast<int32_t>(0x86E06982u);
constexpr int32_t VX_PIN_BLOCKED = static_cast<int32_t>(0x86E06983u);
constexpr int32_t VX_WRONG_PIN = static_cast<int32_t>(0x86E063C0u);  // low nibble: tries left
constexpr int32_t VX_FILE_NOT_FOUND = static_cast<int32_t>(0x86E06A82u);
constexpr int32_t VX_NO_SPACE = static_cast<int32_t>(0x86E06A84u);
constexpr int32_t VX_WRONG_OFFSET = static_cast<int32_t>(0x86E06B00u);
constexpr int32_t VX_DEVICE_ERROR = static_cast<int32_t>(0x86E06F00u);
constexpr uint16_t VX_ROOT_SELECTOR = 0xF007;
constexpr uint16_t VX_READ_TO_END = 0xFFFF;
// The object types of the newer card OS's descriptors (VXObjectInfo.flags
// carries the protection flag, not these).
constexpr int32_t VX_OBJECT_FOLDER = 0x38;
constexpr int32_t VX_OBJECT_FILE = 0x01;

// ---- Older token API ("vxapi.dll") ---------------------------------------
// Path-based: a path is the token's hex file ids without separators
// ("3f00e007a001"). Every call answers 1 on success, 0 on failure with the
// failure recorded in the caller's context.
using VX_PASSWORD_CALLBACK = int (*)(char* buffer, int size, int flags, void* argument);

struct VEXIL_API_CTX {
  char reader[260];
  int32_t slot;  // the API's own session number; 0 before VEXIL_init
  int32_t logged_in;
  unsigned char config[32];  // token configuration (VEXIL_get_config)
  VX_PASSWORD_CALLBACK password_callback;
  void* callback_argument;
  // The pending failure: function and reason of library 70, where.
  int32_t err_function;
  int32_t err_reason;
  const char* err_file;
  int32_t err_line;
};

struct VEXIL_API_FILE_INFO {
  int32_t size;
  int32_t is_directory;
};

// Called once per entry of a folder listing; 0 stops it.
using VEXIL_LIST_APPEND = int (*)(void* list, const char* name, int is_directory, int size);

using VEXIL_init_fn = int (*)(VEXIL_API_CTX* ctx, const char* reader);
using VEXIL_close_fn = int (*)(VEXIL_API_CTX* ctx);
using VEXIL_login_fn = int (*)(VEXIL_API_CTX* ctx, const char* pin);
using VEXIL_logout_fn = int (*)(VEXIL_API_CTX* ctx);
using VEXIL_change_password_fn = int (*)(VEXIL_API_CTX* ctx, const char* old_pin, const char* new_pin);
using VEXIL_create_directory_fn = int (*)(VEXIL_API_CTX* ctx, const char* path, int flags);
using VEXIL_create_file_fn = int (*)(VEXIL_API_CTX* ctx, const char* path, int size, int protect);
using VEXIL_delete_fn = int (*)(VEXIL_API_CTX* ctx, const char* path);
using VEXIL_write_fn = int (*)(VEXIL_API_CTX* ctx, const char* path, const unsigned char* data, int offset, int length);
using VEXIL_read_fn = int (*)(VEXIL_API_CTX* ctx, const char* path, unsigned char* buffer, int offset, int length);
using VEXIL_is_file_exist_fn = int (*)(VEXIL_API_CTX* ctx, const char* path);
using VEXIL_get_file_info_fn = int (*)(VEXIL_API_CTX* ctx, const char* path, VEXIL_API_FILE_INFO* info);
using VEXIL_get_config_fn = int (*)(VEXIL_API_CTX* ctx);
using VEXIL_list_files_fn = int (*)(VEXIL_API_CTX* ctx, const char* path, void* list, VEXIL_LIST_APPEND append);

// Reasons the API records (library 70).
constexpr int32_t VXAPI_R_NO_TOKEN = 140;
constexpr int32_t VXAPI_R_NOT_FOUND = 141;
constexpr int32_t VXAPI_R_LOGIN_FAILED = 142;
constexpr int32_t VXAPI_R_PIN_LOCKED = 143;
constexpr int32_t VXAPI_R_DEVICE = 144;
constexpr int32_t VXAPI_R_NO_SPACE = 145;
constexpr int32_t VXAPI_R_BAD_PATH = 146;

// ---- Touch-Memory driver ("ibfs32.dll") -----------------------------------
// Names are 4 characters, blank-padded; extension 127 marks a sub-folder.
struct TM_FILE_ENTRY {
  unsigned char name[4];
  unsigned char extension;
  unsigned char start_page;
  unsigned char pages;
  unsigned char attribute;
  unsigned char bitmap[32];
};
struct TM_DIR_PATH {
  unsigned char levels;
  char reference;  // '\\' from the root, '.' from the current folder
  char names[10][4];
};

using TMExtendedStartSession_fn = long (*)(short port_number, short port_type, void* reserved);
using TMEndSession_fn = short (*)(long session);
using TMFirstFile_fn = short (*)(long session, void* state, TM_FILE_ENTRY* entry);
using TMNextFile_fn = short (*)(long session, void* state, TM_FILE_ENTRY* entry);
using TMOpenFile_fn = short (*)(long session, void* state, TM_FILE_ENTRY* entry);
using TMCreateFile_fn = short (*)(long session, void* state, short* max_write, TM_FILE_ENTRY* entry);
using TMCloseFile_fn = short (*)(long session, void* state, short handle);
using TMReadFile_fn = short (*)(long session, void* state, short handle, unsigned char* buffer, short max_read);
using TMWriteFile_fn = short (*)(long session, void* state, short handle, const unsigned char* data, short length);
using TMDeleteFile_fn = short (*)(long session, void* state, TM_FILE_ENTRY* entry);
using TMChangeDirectory_fn = short (*)(long session, void* state, short operation, TM_DIR_PATH* path);
using TMDirectoryMR_fn = short (*)(long session, void* state, short operation, TM_FILE_ENTRY* entry);
using TMCreateProgramJob_fn = short (*)(long session, void* state);
using TMDoProgramJob_fn = short (*)(long session, void* state);
using TMFirst_fn = short (*)(long session, void* state);
using TMSetup_fn = short (*)(long session);

// TMEX status codes the medium names.
constexpr short TM_NO_DEVICE = -1;
constexpr short TM_FILE_NOT_FOUND = -6;
constexpr short TM_OUT_OF_SPACE = -8;
constexpr short TM_FILE_TOO_BIG = -9;
constexpr short TM_NOT_WRITTEN = -10;
constexpr short TM_NO_SUCH_FOLDER = -18;
constexpr short TM_WRONG_TYPE = -14;
constexpr short TM_DRIVER_NOT_BOUND = -201;
constexpr unsigned char TM_FOLDER_EXTENSION = 127;
// The largest file a button holds; the medium reads one more to notice a
// larger one.
constexpr int TM_FILE_MAX = 8192;

}  // extern "C"
