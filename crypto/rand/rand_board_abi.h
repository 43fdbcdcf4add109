// The exports of the boards' vendor libraries, as this code calls them.
// Success conventions: Crypton calls return non-zero (services a non-null
// handle); TmGetRandomBytes, sbisCard and sbGetRand return 0; TmGetInfo
// reports through its status word (non-zero: answered).
#pragma once

extern "C" {
using crInitCryptonLib_fn = int (*)();
using crDoneCryptonLib_fn = void (*)();
using crInitService_fn = void* (*)();  // also crInitHardwareService, crInitLightService
using crDoneService_fn = void (*)(void* service);
using crGetDriverType_fn = int (*)();
using crGetDriverVersion_fn = void (*)(unsigned char* version2);
using crRandom_fn = int (*)(void* service, int length, unsigned char* buffer);
using crControlledRandom_fn = int (*)(void* service, unsigned char* buffer512);

using TmDriverPresent_fn = int (*)();
using TmGetVersion_fn = int (*)();
using TmGetInfo_fn = int (*)(int port, unsigned char* record, int size, unsigned short* status);
using TmGetRandomBytes_fn = unsigned short (*)(unsigned char* buffer, int length);

using sbisCard_fn = int (*)();
using sbGetRand_fn = int (*)(unsigned char* buffer, int length);
}

namespace qcrypto {

inline constexpr const char* kCryptonLibrary = "vtcrptn.dll";
inline constexpr const char* kAccordLibrary = "tmdrv32.dll";
inline constexpr const char* kSableLibrary = "SnElLock.dll";

}  // namespace qcrypto
