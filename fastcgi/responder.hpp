#pragma once

namespace pagestamp {

// systemd passes a socket unit's socket from descriptor 3 on, beside the
// connections its store kept, unless the service takes the socket as
// standard input (StandardInput=socket), which passes nothing else: a
// restart would then leave every stored connection in the store, open and
// answered by no one. True when it passed a listening socket, which is then
// standard input.
bool take_passed_listener();

// Answers FastCGI requests on the listening socket that is standard input,
// until SIGTERM. Returns the process's exit status.
int run_responder();

} // namespace pagestamp
