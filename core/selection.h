#pragma once
#include <cstddef>
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "vandrel/error.h"
#include "vandrel/options.h"

namespace vandrel {

/// Throws vandrel::Error "Vandrel:invalidArgument" unless `selection` is empty or holds one
/// value per row of a cloud of `rows` points.
inline void check_selection(std::span<const std::uint8_t> selection, std::size_t rows) {
  if (!selection.empty() && selection.size() != rows)
    throw Error("Vandrel:invalidArgument", "the selection holds " + std::to_string(selection.size()) +
                                               " values for " + std::to_string(rows) +
                                               " points: give one per point (nonzero: filter it), or none");
}

/// The rows of `points` whose `selection` value is nonzero, in order (every row for an empty
/// selection). Checked by check_selection. `P` is Point or PointD.
template <class P>
std::vector<P> selected_rows(std::span<const P> points, std::span<const std::uint8_t> selection) {
  check_selection(selection, points.size());
  if (selection.empty()) return {points.begin(), points.end()};
  std::vector<P> chosen;
  for (std::size_t i = 0; i < points.size(); ++i)
    if (selection[i] != 0) chosen.push_back(points[i]);
  return chosen;
}

/// The options of the run over the selected rows alone: `options` without its selection.
inline DenoiseOptions without_selection(const DenoiseOptions& options) {
  DenoiseOptions all = options;
  all.selection = {};
  return all;
}

/// A filter run over the selected rows of `points` only: they are gathered into a cloud of
/// their own, `filter` (span<const P> -> vector<P>) runs over it, and its rows go back to
/// their places; the other rows come back as given and are nobody's neighbours. The result
/// is that of `filter` over the selected rows alone, bit for bit. An empty selection filters
/// every row.
template <class P, class Filter>
std::vector<P> filter_selected(std::span<const P> points, std::span<const std::uint8_t> selection,
                               const Filter& filter) {
  if (selection.empty()) return filter(points);
  const std::vector<P> chosen = selected_rows(points, selection);
  const std::vector<P> filtered = filter(std::span<const P>(chosen));
  std::vector<P> result(points.begin(), points.end());
  std::size_t k = 0;
  for (std::size_t i = 0; i < points.size(); ++i)
    if (selection[i] != 0) result[i] = filtered[k++];
  return result;
}

}  // namespace vandrel
