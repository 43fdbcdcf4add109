// Brings the engine up in a process: the command-line tool calls it before
// its first operation, the shell library when it is loaded, the end-to-end
// tests before they drive operations.
#pragma once

namespace dsutils {

// Once per process (later calls return at once, also while the first still
// runs on another thread they wait for it):
//  - builds the process's toolkit session, which registers the toolkit's
//    user callbacks before any session is opened;
//  - makes it the session of the engine's file steps (erasing) and the
//    decoder of the certificate-directory look-ups;
//  - takes the debug word from the settings (IsDebug);
//  - gives working folders of operations that died back their sources and
//    removes them (ClearTmpRoot).
void StartEngine();

}  // namespace dsutils
