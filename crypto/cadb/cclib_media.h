// The key-media driver libraries, bound by name when the crypto library
// starts and let go when it stops.
//
// Three media reach hardware through libraries of their own: the token over
// the older token API ("vxapi.dll"), the token over the token SDK ("vxsdk")
// and the Touch-Memory button over its driver ("ibfs32.dll"). Each is looked
// up through the platform's library map (platform/dynlib.h). A library that
// is missing leaves only its own medium unusable: the start never fails for
// it, and the other media and the file medium work as before.
//
// Lock 25 guards the binding state. The random-method reset of the start and
// the generator clean-up of the stop run outside it, since the generator's
// lock 17 ranks below 25.
#pragma once

namespace qcrypto {

// The media, in the order their libraries are bound.
enum CclibMedium : int {
  CCLIB_MEDIUM_VXR2 = 0,     // older token API
  CCLIB_MEDIUM_VEXIL = 1,    // token SDK
  CCLIB_MEDIUM_IBUTTON = 2,  // Touch-Memory driver
};
constexpr int CCLIB_MEDIA_COUNT = 3;

// The library name of a medium as the system always named it, or null for a
// number outside the table.
const char* CCLIB_media_library_name(int medium);

// Binds the media libraries once (a second call while bound changes
// nothing) and resets the random method to none. Always 1.
int CCLIB_init();
// Lets the media libraries go, cleans up the random generator, drops the
// calling thread's errors and the loaded error texts. Nothing when unbound.
void CCLIB_cleanup();

// 1 while the media libraries are bound (between CCLIB_init and
// CCLIB_cleanup), else 0.
int CCLIB_media_loaded();
// 1 when the medium's library was found and loaded by the last CCLIB_init
// and is still bound; 0 otherwise (also for a number outside the table).
int CCLIB_medium_usable(int medium);

}  // namespace qcrypto
