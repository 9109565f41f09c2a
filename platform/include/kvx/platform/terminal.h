#pragma once
// Whether standard output goes to a terminal (so that screen-refreshing output makes sense).

namespace kvx::platform {

bool StdoutIsTerminal();

}  // namespace kvx::platform
