// Reads arbitrary bytes as a PLY file; what reads must write back and read back the same,
// in PLY and, where it converts, as CSV.
#include "fuzz/round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vandrel;
  std::vector<float> xyz;
  PlyDocument document;
  try {
    document = read_ply(std::string(reinterpret_cast<const char*>(data), size), "in.ply", xyz);
  } catch (const Error&) {
    return 0;
  }
  fuzz::check_ply(document, xyz);
  try {
    const TextTable table = table_from_ply(document, "in.ply", "out.csv");
    fuzz::check_text(table, xyz, TextDialect::csv);
  } catch (const Error& e) {
    if (e.identifier() != "Vandrel:cannotConvert") fuzz::fail("conversion to CSV failed other than by refusing");
  }
  return 0;
}
