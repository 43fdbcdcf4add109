// A media library that is merely present: the start of the crypto library
// binds the key-media libraries by name and records which ones it found.
// The stand-ins with the real exports of each medium replace this one.
#include "stand-ins/rand_boards/board_control.h"

STANDIN_EXPORT int dossar_standin_media_probe() { return 1; }
