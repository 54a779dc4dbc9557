// The events of a JSON parser as ijson names them, shared by the streaming
// reader and the yajl parse it drives.
#pragma once

#include <cstdint>

namespace zantu {

// The kinds of the parser's events.
enum class Event : std::uint8_t { StartMap, EndMap, StartArray, EndArray, MapKey, Number, String, Boolean, Null };

inline constexpr int kEventKinds = 9;

inline const char* const kEventNames[kEventKinds] = {"start_map", "end_map", "start_array", "end_array", "map_key",
                                               "number",    "string",  "boolean",     "null"};

inline bool is_open(Event e) { return e == Event::StartMap || e == Event::StartArray; }
inline bool is_close(Event e) { return e == Event::EndMap || e == Event::EndArray; }
inline bool is_scalar(Event e) { return e >= Event::Number; }

// What an event of `kind` is, for messages.
inline const char* event_description(Event kind) {
    switch (kind) {
        case Event::StartMap: return "an object";
        case Event::EndMap: return "the end of an object";
        case Event::StartArray: return "an array";
        case Event::EndArray: return "the end of an array";
        case Event::MapKey: return "an object key";
        case Event::Number: return "a number";
        case Event::String: return "a string";
        case Event::Boolean: return "a boolean";
        case Event::Null: return "null";
    }
    return "an event";
}

}  // namespace zantu
