// The tests' JSON reader: nlohmann's, strict (UTF-8 checked, no trailing
// text), object members kept in document order so a test can check the order
// the program writes them in.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

// Parses one JSON document (white space around it allowed). On an error the
// result is null and *error (when given) says where and why.
inline Json parse_json(const std::string &text, std::string *error = nullptr) {
    try {
        return Json::parse(text);
    } catch (const Json::parse_error &e) {
        if (error) *error = e.what();
        return Json();
    }
}

// The keys of an object in document order; none for any other value.
inline std::vector<std::string> keys_of(const Json &j) {
    std::vector<std::string> keys;
    if (j.is_object())
        for (const auto &member : j.items()) keys.push_back(member.key());
    return keys;
}
