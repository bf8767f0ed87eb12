// The tests' JSON reader: the program's documents parsed into a tree that a
// test walks by key and index, with where and why a document is not JSON.
#pragma once

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

// A lenient JSON reader: bytes >= 0x80 in strings are taken as they are (not
// checked as UTF-8). Everything else is strict JSON: control bytes in strings,
// bad escapes, trailing text, or leading zeros are errors.
struct Json {
    enum Type { Null, Bool, Number, String, Array, Object };
    Type type = Null;
    bool b = false;
    long long n = 0; // integral part of a number
    double d = 0;    // the number as a double
    bool integral = true;
    std::string s;           // a string's bytes, escapes decoded (\uXXXX as UTF-8)
    std::vector<Json> items; // array
    std::vector<std::pair<std::string, Json>> members; // object, in document order

    bool is_object() const { return type == Object; }
    bool is_array() const { return type == Array; }
    bool is_string() const { return type == String; }
    bool is_number() const { return type == Number; }
    bool is_bool() const { return type == Bool; }
    bool is_null() const { return type == Null; }

    const std::string &str() const { return s; }
    long long num() const { return n; }
    bool boolean() const { return b; }
    // Members of an object, items of an array, else 0.
    std::size_t size() const;
    bool has(const std::string &key) const;
    std::vector<std::string> keys() const;

    // A missing key or index (or the wrong type) yields a null value.
    const Json &operator[](const std::string &key) const;
    const Json &operator[](const char *key) const { return (*this)[std::string(key)]; }
    const Json &operator[](std::size_t i) const;
    const Json &operator[](int i) const { return (*this)[static_cast<std::size_t>(i)]; }
};

// "" when `text` is valid UTF-8 (as strict JSON readers require of a whole
// document); otherwise where and why it is not. parse_json does not check it.
std::string utf8_error(const std::string &text);

// Parses one JSON document (surrounding white space allowed). On an error the
// result is null and *error (when given) says where and why.
Json parse_json(const std::string &text, std::string *error = nullptr);
