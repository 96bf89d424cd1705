#include "number_text.h"

#include <cerrno>
#include <charconv>
#include <cmath>
#include <cstdlib>
#include <limits>
#include <system_error>

namespace vandrel {
namespace {

// from_chars rejects a leading '+'; strip it when a number follows.
std::string_view without_plus(std::string_view token) {
  if (token.size() > 1 && token[0] == '+' && token[1] != '-' && token[1] != '+') token.remove_prefix(1);
  return token;
}

template <class Real>
bool parse_real(std::string_view token, Real& value) {
  token = without_plus(token);
  if (token.empty()) return false;
  const char* last = token.data() + token.size();
  const auto [end, ec] = std::from_chars(token.data(), last, value);
  if (end != last) return false;
  if (ec == std::errc()) return true;
  if (ec != std::errc::result_out_of_range) return false;
  // from_chars reports underflow and overflow alike; strtold tells them apart (the token
  // is a valid number, so only its magnitude is in question).
  const std::string copy(token);
  errno = 0;
  const long double wide = std::strtold(copy.c_str(), nullptr);
  if (!(std::abs(wide) <= static_cast<long double>(std::numeric_limits<Real>::max()))) return false;
  value = static_cast<Real>(wide);
  return true;
}

template <class Real>
void append_chars(std::string& out, Real value, int precision) {
  char buffer[64];
  const auto result = precision > 0
                          ? std::to_chars(buffer, buffer + sizeof buffer, value, std::chars_format::general, precision)
                          : std::to_chars(buffer, buffer + sizeof buffer, value);
  out.append(buffer, result.ptr);
}

}  // namespace

bool parse_float(std::string_view token, float& value) { return parse_real(token, value); }

bool parse_double(std::string_view token, double& value) { return parse_real(token, value); }

bool parse_integer(std::string_view token, long long& value) {
  token = without_plus(token);
  if (token.empty()) return false;
  const char* last = token.data() + token.size();
  const auto [end, ec] = std::from_chars(token.data(), last, value);
  return end == last && ec == std::errc();
}

bool looks_like_number(std::string_view token) {
  token = without_plus(token);
  if (token.empty()) return false;
  const char* last = token.data() + token.size();
  double value = 0.0;
  const auto [end, ec] = std::from_chars(token.data(), last, value);
  return end == last && (ec == std::errc() || ec == std::errc::result_out_of_range);
}

std::string printable_excerpt(std::string_view text) {
  constexpr std::size_t longest = 40;
  const bool cut = text.size() > longest;
  if (cut) text = text.substr(0, longest);
  std::string out;
  for (const char c : text) {
    const auto byte = static_cast<unsigned char>(c);
    // Bytes above 0x7e are escaped too: a cut can split a UTF-8 sequence, and some of them
    // are control characters to a terminal.
    if (byte < 0x20 || byte >= 0x7f) {
      constexpr char hex[] = "0123456789abcdef";
      out += "\\x";
      out.push_back(hex[byte >> 4]);
      out.push_back(hex[byte & 15]);
    } else {
      out.push_back(c);
    }
  }
  if (cut) out += "...";
  return out;
}

void append_float9(std::string& out, float value) { append_chars(out, value, 9); }

std::string float9_text(float value) {
  std::string text;
  append_float9(text, value);
  return text;
}

void append_shortest(std::string& out, float value) { append_chars(out, value, 0); }

void append_shortest(std::string& out, double value) { append_chars(out, value, 0); }

}  // namespace vandrel
