// JSON of routersim's files (STATE/out/bus.jsonl, campaign results) through
// nlohmann-json: the library writes every key and value and parses every
// line, so a reader never depends on the writer's spacing or key order.
//
// Nothing here throws: parsing reports failure by its result, dumping
// replaces invalid UTF-8 by U+FFFD, and the getters check the type first.
// Header-only, so the kernel tier's bus recorder takes it as routersim does.
#pragma once

#include <nlohmann/json.hpp>

#include <cstdint>
#include <string>
#include <string_view>

// An object keeps its keys in insertion order, the order they are written in.
using json_value = nlohmann::ordered_json;

// One value as one line without its line end, with ", " after each element
// and ": " after each key, the style of the files' existing lines:
//   {"module": 12, "payload": {"operation": 1, "progress": 40}}
// Keys and scalars are dumped by the library (escapes, numbers).
inline void json_append(std::string *out, const json_value &v)
{
    constexpr auto REPLACE = json_value::error_handler_t::replace;
    if (v.is_object()) {
        *out += '{';
        bool first = true;
        for (auto it = v.begin(); it != v.end(); ++it) {
            if (!first)
                *out += ", ";
            first = false;
            *out += json_value(it.key()).dump(-1, ' ', false, REPLACE);
            *out += ": ";
            json_append(out, it.value());
        }
        *out += '}';
    } else if (v.is_array()) {
        *out += '[';
        for (size_t i = 0; i < v.size(); ++i) {
            if (i != 0)
                *out += ", ";
            json_append(out, v[i]);
        }
        *out += ']';
    } else {
        *out += v.dump(-1, ' ', false, REPLACE);
    }
}

inline std::string json_line(const json_value &v)
{
    std::string s;
    json_append(&s, v);
    return s;
}

// The whole of text as one JSON value (surrounding white space allowed).
// False, and *out left discarded, when text is not exactly one JSON value.
inline bool json_parse(std::string_view text, json_value *out)
{
    *out = json_value::parse(text.begin(), text.end(), nullptr, false);
    return !out->is_discarded();
}

// The member key of an object; nullptr when v is no object or lacks it.
inline const json_value *json_member(const json_value &v, const char *key)
{
    if (!v.is_object())
        return nullptr;
    auto it = v.find(key);
    return it == v.end() ? nullptr : &*it;
}

// An unsigned integer member (a negative or fractional number is not one).
inline bool json_get_u64(const json_value &v, const char *key, uint64_t *out)
{
    const json_value *m = json_member(v, key);
    if (m == nullptr || !m->is_number_unsigned())
        return false;
    *out = m->get<uint64_t>();
    return true;
}

inline bool json_get_string(const json_value &v, const char *key, std::string *out)
{
    const json_value *m = json_member(v, key);
    if (m == nullptr || !m->is_string())
        return false;
    *out = m->get_ref<const std::string &>();
    return true;
}
