#pragma once
// Month and weekday names are fixed English texts: pages must read the same
// whatever locale the server runs in, so no locale is ever consulted.

#include <array>
#include <string_view>

namespace pagestamp {

inline constexpr std::array<std::string_view, 12> month_short_names{
    "Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"};

inline constexpr std::array<std::string_view, 12> month_long_names{
    "January", "February", "March",     "April",   "May",      "June",
    "July",    "August",   "September", "October", "November", "December"};

inline constexpr std::array<std::string_view, 7> weekday_short_names{
    "Sun", "Mon", "Tue", "Wed", "Thu", "Fri", "Sat"};

inline constexpr std::array<std::string_view, 7> weekday_long_names{
    "Sunday", "Monday", "Tuesday", "Wednesday", "Thursday", "Friday", "Saturday"};

} // namespace pagestamp
