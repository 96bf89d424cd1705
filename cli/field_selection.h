#pragma once
#include <cstdint>
#include <string>
#include <vector>

#include "io/point_file.h"

namespace vandrel {

/// --select FIELD=V1,V2,...: the points whose field FIELD holds one of the values.
struct FieldSelection {
  std::string field;
  std::vector<double> values;
  std::string text;  // as given, for messages
};

/// Parses "FIELD=V1,V2,...": a field name, '=', and a comma-separated list of numbers.
/// Throws vandrel::Error "Vandrel:invalidArgument" naming the option otherwise.
FieldSelection parse_field_selection(const std::string& text);

/// One value per row of `file`: 1 where the field's value equals one of the selection's
/// (compared as numbers: a PCD label stored as 2.0 matches 2), 0 elsewhere. Throws what
/// point_field throws for a file without that field.
std::vector<std::uint8_t> rows_with_field_values(const PointFile& file, const FieldSelection& selection,
                                                 const std::string& source);

}  // namespace vandrel
