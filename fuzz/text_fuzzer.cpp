// Reads arbitrary bytes as a whitespace-separated (XYZ, TXT) file; what reads must write back and
// read back the same, as it was and converted to PLY.
#include "fuzz/round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vandrel;
  std::vector<float> xyz;
  TextTable table;
  try {
    table = read_text_table(std::string_view(reinterpret_cast<const char*>(data), size), TextDialect::whitespace, "in",
                            xyz);
  } catch (const Error&) {
    return 0;
  }
  fuzz::check_text(table, xyz, TextDialect::whitespace);
  fuzz::check_text_to_ply(table, xyz);
  return 0;
}
