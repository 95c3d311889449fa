#pragma once

namespace pagestamp {

// Answers FastCGI requests on the listening socket that is standard input,
// until SIGTERM. Returns the process's exit status.
int serve_fastcgi();

} // namespace pagestamp
