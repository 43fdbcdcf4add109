// Reference-counted start and stop of the crypto library.
//
// Every toolkit entry brackets its work with cadb_library_init and
// cadb_library_cleanup. The first start of the count binds the media
// libraries, loads the error texts, registers the objects and the provider
// and seeds the software generator from the first hardware generator that
// answers; the stop that releases the last reference undoes what OpenSSL 3
// lets us undo (error texts, random generator, media libraries). Objects,
// signature pairs and the built-in provider stay registered for the life of
// the process: OpenSSL has no way to remove an object once added, and both
// copies of the library in one process share them.
//
// Any number of threads may start and stop at once, first starts included:
// a start returns only once the library is started, and a stop never tears
// it down under a thread that still holds a reference. A stop without a
// matching start changes nothing (the count never goes below 0). Neither
// call may be made while holding a numbered lock.
#pragma once

namespace qcrypto {

void cadb_library_init();
void cadb_library_cleanup();

// The references held now.
int cadb_library_references();
// 1 when the process-wide registrations (objects, signature pairs,
// provider) succeeded; 0 before the first start or when they failed.
int cadb_library_registered();

}  // namespace qcrypto
