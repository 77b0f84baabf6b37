// The helper's JSON reader against the library: the same texts accepted, and the same objects, arrays
// and strings read from them, every number, Boolean and null standing as null.
#include "helper/json_reader.h"

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <nlohmann/json.hpp>
#include <vector>

namespace {

using Json = nlohmann::json;

// The tree the reader's events describe. A child is added to its parent only once the parent is open
// and nothing else is, so the pointers to the open ones stay valid.
struct TreeBuilder {
    Json root;
    std::vector<Json*> open;
    std::string name;

    bool take(JsonEvent event, WipedString& text) {
        if (event == JsonEvent::name) {
            name.assign(text.data(), text.size());
            return true;
        }
        if (event == JsonEvent::end) {
            open.pop_back();
            return true;
        }
        Json value = event == JsonEvent::objectStart  ? Json::object()
                     : event == JsonEvent::arrayStart ? Json::array()
                     : event == JsonEvent::string     ? Json(std::string(text.data(), text.size()))
                                                      : Json();
        Json* slot = &root;
        if (open.empty())
            root = std::move(value);
        else if (open.back()->is_object())
            slot = &((*open.back())[name] = std::move(value));
        else
            slot = &open.back()->emplace_back(std::move(value));
        if (event == JsonEvent::objectStart || event == JsonEvent::arrayStart)
            open.push_back(slot);
        return true;
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view text(reinterpret_cast<const char*>(data), size);
    TreeBuilder built;
    bool accepted = readJson(
        text, [&](JsonEvent event, std::size_t, WipedString& string) { return built.take(event, string); });
    // The library takes a raw NUL for the end of its input; the reader refuses it wherever it is.
    if (std::memchr(data, '\0', size) != nullptr) {
        if (accepted)
            std::abort();
        return 0;
    }
    Json expected = Json::parse(
        text.begin(), text.end(),
        [](int, Json::parse_event_t event, Json& parsed) {
            if (event == Json::parse_event_t::value && !parsed.is_string() && !parsed.is_structured())
                parsed = nullptr;
            return true;
        },
        false);
    if (accepted != !expected.is_discarded() || (accepted && built.root != expected))
        std::abort();
    return 0;
}
