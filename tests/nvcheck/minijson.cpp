#include "minijson.h"

#include <cstdlib>
#include <cstring>

namespace minijson {

namespace {

const Value kNone;

class Reader {
public:
    explicit Reader(const std::string &json) : s_(json) {}

    bool document(Value &value)
    {
        return parseValue(value, 0) && (skip(), at_ == s_.size() || fail("text after the value"));
    }
    std::string error() const { return error_ + " at byte " + std::to_string(at_); }

private:
    bool fail(const char *why)
    {
        if (error_.empty())
            error_ = why;
        return false;
    }
    void skip()
    {
        while (at_ < s_.size() && std::strchr(" \t\r\n", s_[at_]) && s_[at_] != '\0')
            ++at_;
    }
    bool literal(const char *word)
    {
        size_t n = std::strlen(word);
        if (s_.compare(at_, n, word) != 0)
            return fail("unknown literal");
        at_ += n;
        return true;
    }
    bool parseValue(Value &v, int depth)
    {
        if (depth > 64)
            return fail("nested too deeply");
        skip();
        if (at_ >= s_.size())
            return fail("value missing");
        char c = s_[at_];
        if (c == '{')
            return parseObject(v, depth);
        if (c == '[')
            return parseArray(v, depth);
        if (c == '"')
            return v.kind = Value::String, parseString(v.text);
        if (c == 't')
            return v.kind = Value::Bool, v.boolean = true, literal("true");
        if (c == 'f')
            return v.kind = Value::Bool, literal("false");
        if (c == 'n')
            return v.kind = Value::Null, literal("null");
        return parseNumber(v);
    }
    bool parseNumber(Value &v)
    {
        size_t start = at_;
        if (at_ < s_.size() && s_[at_] == '-')
            ++at_;
        size_t digits = at_;
        while (at_ < s_.size() && std::strchr("0123456789.eE+-", s_[at_]) && s_[at_] != '\0')
            ++at_;
        if (at_ == digits)
            return fail("not a value");
        v.kind = Value::Number;
        v.number = std::strtod(s_.substr(start, at_ - start).c_str(), nullptr);
        return true;
    }
    bool hex4(unsigned &unit)
    {
        if (at_ + 4 > s_.size())
            return fail("short \\u escape");
        unit = 0;
        for (int i = 0; i < 4; ++i) {
            char c = s_[at_++];
            unit <<= 4;
            if (c >= '0' && c <= '9')
                unit |= static_cast<unsigned>(c - '0');
            else if (c >= 'a' && c <= 'f')
                unit |= static_cast<unsigned>(c - 'a' + 10);
            else if (c >= 'A' && c <= 'F')
                unit |= static_cast<unsigned>(c - 'A' + 10);
            else
                return fail("bad \\u escape");
        }
        return true;
    }
    // Escapes become UTF-16 units; other bytes must be printable ASCII here (the tool promises
    // ASCII output), so a raw control or 8-bit byte is an error.
    bool parseString(std::wstring &out)
    {
        ++at_;
        out.clear();
        while (at_ < s_.size()) {
            unsigned char c = static_cast<unsigned char>(s_[at_++]);
            if (c == '"')
                return true;
            if (c < 0x20 || c >= 0x7F)
                return fail("raw control or non-ASCII byte in a string");
            if (c != '\\') {
                out += static_cast<wchar_t>(c);
                continue;
            }
            if (at_ >= s_.size())
                break;
            char e = s_[at_++];
            const char *from = "\"\\/bfnrt", *to = "\"\\/\b\f\n\r\t";
            const char *found = std::strchr(from, e);
            if (e == 'u') {
                unsigned unit = 0;
                if (!hex4(unit))
                    return false;
                out += static_cast<wchar_t>(unit);
            } else if (found && e != '\0') {
                out += static_cast<wchar_t>(to[found - from]);
            } else {
                return fail("unknown escape");
            }
        }
        return fail("unterminated string");
    }
    bool parseArray(Value &v, int depth)
    {
        v.kind = Value::Array;
        ++at_;
        skip();
        if (at_ < s_.size() && s_[at_] == ']')
            return ++at_, true;
        for (;;) {
            v.elements.emplace_back();
            if (!parseValue(v.elements.back(), depth + 1))
                return false;
            skip();
            if (at_ < s_.size() && s_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < s_.size() && s_[at_] == ']')
                return ++at_, true;
            return fail("',' or ']' expected");
        }
    }
    bool parseObject(Value &v, int depth)
    {
        v.kind = Value::Object;
        ++at_;
        skip();
        if (at_ < s_.size() && s_[at_] == '}')
            return ++at_, true;
        for (;;) {
            skip();
            std::wstring name;
            if (at_ >= s_.size() || s_[at_] != '"' || !parseString(name))
                return fail("member name expected");
            std::string key(name.begin(), name.end());
            if (v.members.count(key))
                return fail("member named twice");
            skip();
            if (at_ >= s_.size() || s_[at_++] != ':')
                return fail("':' expected");
            if (!parseValue(v.members[key], depth + 1))
                return false;
            skip();
            if (at_ < s_.size() && s_[at_] == ',') {
                ++at_;
                continue;
            }
            if (at_ < s_.size() && s_[at_] == '}')
                return ++at_, true;
            return fail("',' or '}' expected");
        }
    }

    const std::string &s_;
    size_t at_ = 0;
    std::string error_;
};

} // namespace

const Value &Value::operator[](const std::string &name) const
{
    auto found = members.find(name);
    return found == members.end() ? kNone : found->second;
}

const Value &Value::operator[](size_t index) const { return index < elements.size() ? elements[index] : kNone; }

bool parse(const std::string &json, Value &value, std::string &error)
{
    Reader reader(json);
    value = Value();
    if (reader.document(value))
        return true;
    error = reader.error();
    return false;
}

} // namespace minijson
