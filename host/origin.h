// Which Host and Origin headers name this host. A browser sends the Host of
// the URL it was given: a page whose own name an attacker points at
// 127.0.0.1 (DNS rebinding) reaches the host under that foreign name, and is
// refused. A form or script of another site that posts here sends its own
// Origin, and is refused too. No operating-system calls.
#pragma once

#include <string>
#include <vector>

// The names this host serves under: 127.0.0.1, localhost, [::1] and the
// `bind` address or name (in brackets when it is an IPv6 address), each once.
std::vector<std::string> served_names(const std::string &bind);

// True when `host` (a Host header's value) is one of the served names,
// letter case aside, alone or followed by ":" and the served `port`.
bool is_served_host(const std::string &host, const std::string &bind, int port);

// True when `origin` (an Origin header's value) is "http://" and one of the
// served names above with ":" and the served `port` (without a port only
// when that is 80).
bool is_served_origin(const std::string &origin, const std::string &bind, int port);
