// The tests' JSON reader: nlohmann's, strict (UTF-8 checked, no trailing
// text), object members kept in document order so a test can check the order
// the program writes them in.
#pragma once

#include <nlohmann/json.hpp>

#include <string>
#include <vector>

using Json = nlohmann::ordered_json;

// Parses one JSON document (white space around it allowed). On an error the
// result is null and *error (when given) says where and why. (Compiled once,
// in json.cpp: the parser is the reader's largest part.)
Json parse_json(const std::string &text, std::string *error = nullptr);

// The keys of an object in document order; none for any other value.
std::vector<std::string> keys_of(const Json &j);
