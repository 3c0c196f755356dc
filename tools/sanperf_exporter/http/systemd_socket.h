// Listening sockets passed by systemd socket activation (a .socket unit, or
// systemd-socket-activate): LISTEN_PID and LISTEN_FDS, descriptors from 3 on.
#pragma once

#include <string>
#include <vector>

namespace sanperf_exporter {

// Takes the sockets passed to this process, in order, and removes the
// variables so that no child would take them too. False, with the reason in
// why, when none were passed to this process or one is not a listening
// stream socket.
bool take_systemd_sockets(std::vector<int>& sockets, std::string& why);

}  // namespace sanperf_exporter
