#pragma once

#include "core/CoreJson.h"

#include <span>
#include <string>
#include <string_view>

namespace quorvelle::core
{
using CoreMethodHandler = Json (*) (const Json& payload);
// Appends the same result as compact JSON text, for methods whose result can be far larger than
// their payload: the bridge's answer is then written without building the result's JSON tree.
using CoreMethodTextHandler = void (*) (const Json& payload, std::string& out);

struct CoreMethod
{
    std::string_view name;
    CoreMethodHandler handler; // nullptr: not available yet, answered as an unknown method
    CoreMethodTextHandler textHandler = nullptr;
};

// The method table, in the order in which names are tested.
std::span<const CoreMethod> coreMethodTable();

// Runs the named method on the payload and answers {"ok": true, "result": R} or
// {"ok": false, "error": E}. No exception leaves it: a handler's exception becomes
// "core threw: " + what(), anything else "core threw unknown exception".
Json invokeCoreMethod (std::string_view method, const Json& payload);

// The same over a given table (the first entry with an equal name is taken).
Json invokeCoreMethodFrom (std::span<const CoreMethod> table, std::string_view method, const Json& payload);

// The envelope as compact JSON text (raw UTF-8, keys in byte order). Invalid UTF-8 in any string
// is written as U+FFFD instead of failing, so a bad byte in a result never stops the answer.
std::string serialiseCoreEnvelope (const Json& envelope);

// invokeCoreMethod followed by serialiseCoreEnvelope: the text the bridge sends as "responseJson".
std::string invokeCoreMethodToJson (std::string_view method, const Json& payload);
} // namespace quorvelle::core
