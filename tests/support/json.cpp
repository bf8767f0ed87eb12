#include "json.h"

Json parse_json(const std::string &text, std::string *error) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error &e) {
        if (error) *error = e.what();
        return Json();
    }
}

std::vector<std::string> keys_of(const Json &j) {
    std::vector<std::string> keys;
    if (j.is_object())
        for (const auto &member : j.items()) keys.push_back(member.key());
    return keys;
}
