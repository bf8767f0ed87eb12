#include "origin.h"

#include "cgi.h"

namespace {

bool is_served_name(const std::string &name, const std::string &bind) {
    for (const std::string &n : served_names(bind))
        if (same_name(name, n.c_str())) return true;
    return false;
}

// Splits "name" or "name:port" ("[v6]" or "[v6]:port" for an IPv6 address);
// `port` is "" when none is given. False when the text has no such form.
bool split_host(const std::string &text, std::string *name, std::string *port, bool *has_port) {
    size_t end = 0;
    if (!text.empty() && text[0] == '[') {
        end = text.find(']');
        if (end == std::string::npos) return false;
        end++;
    } else {
        end = text.find(':');
        if (end == std::string::npos) end = text.size();
    }
    *name = text.substr(0, end);
    *has_port = end < text.size();
    if (*has_port && text[end] != ':') return false;
    *port = *has_port ? text.substr(end + 1) : "";
    return !name->empty();
}

} // namespace

std::vector<std::string> served_names(const std::string &bind) {
    std::vector<std::string> names = {"127.0.0.1", "localhost", "[::1]"};
    std::string own = bind;
    if (own.find(':') != std::string::npos && own[0] != '[') own = "[" + own + "]";
    bool known = false;
    for (const std::string &n : names) known = known || same_name(own, n.c_str());
    if (!known) names.push_back(own);
    return names;
}

bool is_served_host(const std::string &host, const std::string &bind, int port) {
    std::string name, port_text;
    bool has_port = false;
    if (!split_host(host, &name, &port_text, &has_port)) return false;
    if (has_port && port_text != std::to_string(port)) return false;
    return is_served_name(name, bind);
}

bool is_served_origin(const std::string &origin, const std::string &bind, int port) {
    static const char SCHEME[] = "http://";
    const size_t n = sizeof SCHEME - 1;
    if (origin.size() <= n || !same_name(origin.substr(0, n), SCHEME)) return false;
    std::string name, port_text;
    bool has_port = false;
    if (!split_host(origin.substr(n), &name, &port_text, &has_port)) return false;
    if (has_port ? port_text != std::to_string(port) : port != 80) return false;
    return is_served_name(name, bind);
}
