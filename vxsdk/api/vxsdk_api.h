/* The token SDK's calling contract: the records that cross the library
 * boundary, the result codes and the 31 exports. Callers load the library by
 * name and bind every export by name; they never see its classes. */
#ifndef DOSSAR_VXSDK_API_H
#define DOSSAR_VXSDK_API_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The address of the handle object's type-id word: pointer-sized. */
typedef void* VXHandle;

typedef struct VXReaderInfo {
  char name[260]; /* NUL-terminated, cut to 259 characters */
  int32_t token_present;
} VXReaderInfo;

#pragma pack(push, 1)
typedef struct VXObjectInfo {
  uint16_t id;
  int32_t flags; /* protection flag, 0 or 1 */
  uint16_t size; /* 0 for a directory */
} VXObjectInfo;
#pragma pack(pop)

#define VX_OK 0
#define VX_E_INVALIDARG ((int32_t)0x80070057u)
#define VX_E_POINTER ((int32_t)0x80004003u)
#define VX_E_OUTOFMEMORY ((int32_t)0x8007000Eu)
#define VX_E_FAIL ((int32_t)0x80004005u)
#define VX_E_NO_MORE_ITEMS ((int32_t)0x80070103u)

#if defined(__GNUC__) && defined(VXSDK_BUILDING)
#define VXSDK_EXPORT __attribute__((visibility("default")))
#else
#define VXSDK_EXPORT
#endif

VXSDK_EXPORT int32_t VXReadersEnumOpen(VXHandle* out);
VXSDK_EXPORT int32_t VXReadersEnumNext(VXHandle readers, VXReaderInfo* info);
VXSDK_EXPORT int32_t VXReadersEnumClose(VXHandle readers);
VXSDK_EXPORT int32_t VXTokenBind(VXHandle* out, const char* reader);
VXSDK_EXPORT int32_t VXTokenUnbind(VXHandle token);
VXSDK_EXPORT int32_t VXTokenLogin(VXHandle token, const char* pin);
VXSDK_EXPORT int32_t VXTokenLogout(VXHandle token);
VXSDK_EXPORT int32_t VXTokenPinChange(VXHandle token, const char* newPin);
VXSDK_EXPORT int32_t VXTokenLabelGet(VXHandle token, char* label, uint32_t* size);
VXSDK_EXPORT int32_t VXTokenIDGet(VXHandle token, char* id, uint32_t* size);
VXSDK_EXPORT int32_t VXTokenMaxPinGet(VXHandle token, int32_t* length);
VXSDK_EXPORT int32_t VXTokenMinPinGet(VXHandle token, int32_t* length);
VXSDK_EXPORT int32_t VXRootDirOpen(VXHandle* out, VXHandle token, uint16_t selector);
VXSDK_EXPORT int32_t VXDirCreate(VXHandle* out, uint16_t id, VXHandle dir, int32_t flag);
VXSDK_EXPORT int32_t VXDirOpen(VXHandle* out, uint16_t id, VXHandle dir);
VXSDK_EXPORT int32_t VXDirGetInfo(VXHandle dir, VXObjectInfo* info);
VXSDK_EXPORT int32_t VXDirDelete(VXHandle dir);
VXSDK_EXPORT int32_t VXDirClose(VXHandle dir);
VXSDK_EXPORT int32_t VXDirEnumOpen(VXHandle* out, VXHandle dir);
VXSDK_EXPORT int32_t VXDirEnumNext(VXHandle dirs, VXObjectInfo* info);
VXSDK_EXPORT int32_t VXDirEnumClose(VXHandle dirs);
VXSDK_EXPORT int32_t VXFilesEnumOpen(VXHandle* out, VXHandle dir);
VXSDK_EXPORT int32_t VXFilesEnumNext(VXHandle files, VXObjectInfo* info);
VXSDK_EXPORT int32_t VXFilesEnumClose(VXHandle files);
VXSDK_EXPORT int32_t VXFileOpen(VXHandle* out, VXHandle dir, uint16_t id);
VXSDK_EXPORT int32_t VXFileCreate(VXHandle* out, VXHandle dir, uint16_t id, uint16_t size, int32_t flag);
VXSDK_EXPORT int32_t VXFileRead(VXHandle file, uint16_t offset, uint16_t count, uint8_t* buffer, uint32_t bufferSize);
VXSDK_EXPORT int32_t VXFileWrite(VXHandle file, uint16_t offset, const uint8_t* data, uint16_t count);
VXSDK_EXPORT int32_t VXFileDelete(VXHandle file);
VXSDK_EXPORT int32_t VXFileGetInfo(VXHandle file, VXObjectInfo* info);
VXSDK_EXPORT int32_t VXFileClose(VXHandle file);

#ifdef __cplusplus
}
#endif

#endif
