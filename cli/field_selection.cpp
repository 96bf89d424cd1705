#include "cli/field_selection.h"

#include <algorithm>
#include <cmath>

#include "io/number_text.h"
#include "io/point_field.h"
#include "vandrel/error.h"

namespace vandrel {

FieldSelection parse_field_selection(const std::string& text) {
  FieldSelection selection;
  selection.text = text;
  const std::size_t equals = text.find('=');
  const auto wrong = [&] {
    return Error("Vandrel:invalidArgument",
                 "--select '" + text + "' is not FIELD=VALUES, a field name and a list of numbers such as label=1,4");
  };
  if (equals == std::string::npos || equals == 0 || equals + 1 == text.size()) throw wrong();
  selection.field = text.substr(0, equals);
  std::size_t begin = equals + 1;
  while (true) {
    const std::size_t end = std::min(text.find(',', begin), text.size());
    double value = 0.0;
    if (!parse_double(text.substr(begin, end - begin), value) || !std::isfinite(value)) throw wrong();
    selection.values.push_back(value);
    if (end == text.size()) return selection;
    begin = end + 1;
  }
}

std::vector<std::uint8_t> rows_with_field_values(const PointFile& file, const FieldSelection& selection,
                                                 const std::string& source) {
  const std::vector<double> values = point_field(file, selection.field, source);
  std::vector<std::uint8_t> rows(values.size());
  for (std::size_t i = 0; i < values.size(); ++i) {
    rows[i] = std::find(selection.values.begin(), selection.values.end(), values[i]) != selection.values.end() ? 1 : 0;
  }
  return rows;
}

}  // namespace vandrel
