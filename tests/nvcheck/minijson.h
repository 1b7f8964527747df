// A strict reader of one JSON text, for checking what a tool prints: exactly one value, nothing
// but white space after it, strings with their escapes resolved to UTF-16.
#pragma once

#include <map>
#include <string>
#include <vector>

namespace minijson {

struct Value {
    enum Kind { Null, Bool, Number, String, Array, Object } kind = Null;
    bool boolean = false;
    double number = 0;
    std::wstring text;
    std::vector<Value> elements;
    std::map<std::string, Value> members;

    // Member or element, or a shared null value when there is none.
    const Value &operator[](const std::string &name) const;
    const Value &operator[](size_t index) const;
};

// False with `error` set (and the byte offset in it) when `json` is not exactly one JSON value.
bool parse(const std::string &json, Value &value, std::string &error);

} // namespace minijson
