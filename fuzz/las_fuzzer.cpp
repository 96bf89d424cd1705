// Reads arbitrary bytes as a LAS file; what reads must write back and read back
// the same, and new coordinates must read back as written.
#include "fuzz/round_trip.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  using namespace vandrel;
  const auto read = [](const std::string& bytes, std::vector<float>& xyz) { return read_las(bytes, "in.las", xyz); };
  std::vector<float> xyz;
  LasDocument document;
  try {
    document = read(std::string(reinterpret_cast<const char*>(data), size), xyz);
  } catch (const Error&) {
    return 0;
  }
  fuzz::check_document(document, xyz, read, [](std::ostream& out, const LasDocument& d, const float* values) {
    write_las(out, d, values, "out.las");
  }, document.scale);
  return 0;
}
