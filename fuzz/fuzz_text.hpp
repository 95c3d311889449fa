#pragma once
// What the fuzz targets share: environment-like strings cut from the input,
// and a check that stops the run with a readable reason.

#include <fuzzer/FuzzedDataProvider.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace fuzzing {

// An environment string cannot hold a NUL: everything from one on is lost, as
// it would be on the way through execve.
inline std::string env_value(FuzzedDataProvider& data, std::size_t max_length)
{
    std::string value = data.ConsumeRandomLengthString(max_length);
    return value.substr(0, value.find('\0'));
}

// The rest of the input as one value, so that dictionary words land whole.
inline std::string env_rest(FuzzedDataProvider& data)
{
    const std::string value = data.ConsumeRemainingBytesAsString();
    return value.substr(0, value.find('\0'));
}

// The template with "+" read as a space, as a template without "%" prints.
inline std::string plus_as_space(std::string_view text)
{
    std::string spaced(text);
    for (char& c : spaced) {
        if (c == '+') {
            c = ' ';
        }
    }
    return spaced;
}

[[noreturn]] inline void fail(const char* what, std::string_view detail = {})
{
    std::fprintf(stderr, "property violated: %s\n%.*s\n", what, static_cast<int>(detail.size()), detail.data());
    std::abort();
}

inline void check(bool holds, const char* what, std::string_view detail = {})
{
    if (!holds) {
        fail(what, detail);
    }
}

} // namespace fuzzing
