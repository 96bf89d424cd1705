#pragma once
#include <string>
#include <string_view>

namespace vandrel {

/// Reads a whole token as a decimal number: an optional sign, digits with an optional
/// point and exponent, or inf / nan in any case, as std::from_chars reads them, with a
/// leading '+' also allowed. The float form is correctly rounded from the decimal; values
/// too small for a normal float give a subnormal or zero. Returns false, leaving `value`
/// unspecified, for an empty token, trailing characters or a magnitude beyond the type's range.
/// Reentrant; independent of the locale.
bool parse_float(std::string_view token, float& value);
bool parse_double(std::string_view token, double& value);

/// Reads a whole token as a decimal integer with an optional sign. Returns false for
/// anything else, including values beyond the 64-bit range.
bool parse_integer(std::string_view token, long long& value);

/// True when `token` is written as a number, whatever its magnitude: what parse_double
/// reads, and also decimals beyond the double range such as "1e999". Reentrant.
bool looks_like_number(std::string_view token);

/// `text` from a file, made safe to quote in a message: control characters and bytes
/// 0x7f and above are written as "\xHH" escapes, and text longer than 40 characters is cut
/// with "..." appended. Reentrant.
std::string printable_excerpt(std::string_view text);

/// Appends `value` with 9 significant digits in the shortest of fixed and exponent form
/// (like printf's %.9g): enough for every float to read back to the same bits.
void append_float9(std::string& out, float value);

/// `value` as append_float9 writes it.
std::string float9_text(float value);

/// Appends the shortest decimal that reads back to the same bits.
void append_shortest(std::string& out, float value);
void append_shortest(std::string& out, double value);

}  // namespace vandrel
