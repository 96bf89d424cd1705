#include "vandrel/estimate.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "core/finite.h"
#include "host/kd_search.h"
#include "vandrel/error.h"

namespace vandrel {
namespace {

// Below this many finite points the medians below rest on too few, overlapping patches.
constexpr std::int64_t min_points = 50;
// Sampled points whose neighbourhoods make the estimate; the medians settle to about 1 %
// well before this, and larger clouds cost only the tree build.
constexpr std::int64_t max_samples = 4096;
// 3-D neighbours whose median distance sets the first search radius.
constexpr std::int32_t scale_neighbours = 16;
// 3-D neighbours that give each patch its first tangent plane.
constexpr std::int32_t orientation_neighbours = 32;
// Points of a patch: the sampled point and its nearest others in the tangent plane. The
// smallest patch keeps curvature out of the residuals; with more noise the patch grows
// until it is several sigmas wide, since a plane fitted to a patch hardly wider than it
// is thick tilts into the noise and hides part of it.
constexpr std::int32_t min_patch_size = 24;
constexpr std::int32_t max_patch_size = 1024;
constexpr double patch_radius_in_sigmas = 4.0;
// Times the patch's tangent plane is refitted and the patch gathered again around it.
constexpr int plane_refits = 2;
// Half-width of the slab around the tangent plane, in units of the first search radius
// and, once sigma is known, in sigmas: wide enough that the noise is cut off only in its tail.
constexpr double slab_in_scales = 1.5;
constexpr double slab_in_sigmas = 4.5;
// In-plane radius within which a patch must be complete: first in units of the search
// radius, then in units of the patch radius that the density predicts.
constexpr double reach_in_scales = 2.0;
constexpr double reach_in_patch_radii = 1.6;
// Surveys with patches and slab adapted to the last estimates, until they settle.
constexpr int max_passes = 6;

struct Plane {
  double centre[3];
  double normal[3];
  double smallest;  // smallest eigenvalue of the covariance: mean squared residual
};

struct Cloud {
  std::span<const Point> points;
  double at(std::int32_t row, int axis) const {
    return static_cast<double>(points[static_cast<std::size_t>(row)][static_cast<std::size_t>(axis)]);
  }
};

// Eigen-decomposition of a symmetric 3 x 3 matrix by cyclic Jacobi rotations; a[i][i]
// ends as the eigenvalues and the columns of v as the eigenvectors.
void jacobi_eigen(double a[3][3], double v[3][3]) {
  for (int i = 0; i < 3; ++i)
    for (int j = 0; j < 3; ++j) v[i][j] = i == j ? 1.0 : 0.0;
  for (int sweep = 0; sweep < 50; ++sweep) {
    const double off = a[0][1] * a[0][1] + a[0][2] * a[0][2] + a[1][2] * a[1][2];
    const double diagonal = a[0][0] * a[0][0] + a[1][1] * a[1][1] + a[2][2] * a[2][2];
    if (off <= 1e-30 * diagonal || off == 0.0) return;
    for (int p = 0; p < 2; ++p) {
      for (int q = p + 1; q < 3; ++q) {
        if (a[p][q] == 0.0) continue;
        const double theta = (a[q][q] - a[p][p]) / (2.0 * a[p][q]);
        const double t = (theta >= 0.0 ? 1.0 : -1.0) / (std::abs(theta) + std::sqrt(theta * theta + 1.0));
        const double c = 1.0 / std::sqrt(t * t + 1.0);
        const double s = t * c;
        for (int k = 0; k < 3; ++k) {
          const double akp = a[k][p];
          const double akq = a[k][q];
          a[k][p] = c * akp - s * akq;
          a[k][q] = s * akp + c * akq;
        }
        for (int k = 0; k < 3; ++k) {
          const double apk = a[p][k];
          const double aqk = a[q][k];
          a[p][k] = c * apk - s * aqk;
          a[q][k] = s * apk + c * aqk;
        }
        for (int k = 0; k < 3; ++k) {
          const double vkp = v[k][p];
          const double vkq = v[k][q];
          v[k][p] = c * vkp - s * vkq;
          v[k][q] = s * vkp + c * vkq;
        }
      }
    }
  }
}

// Least-squares plane through the given rows (orthogonal distances).
Plane fit_plane(const Cloud& cloud, const std::vector<std::int32_t>& rows) {
  Plane plane{};
  const double m = static_cast<double>(rows.size());
  for (int axis = 0; axis < 3; ++axis) {
    double sum = 0.0;
    for (std::int32_t r : rows) sum += cloud.at(r, axis);
    plane.centre[axis] = sum / m;
  }
  double cov[3][3] = {};
  for (std::int32_t r : rows) {
    double d[3];
    for (int axis = 0; axis < 3; ++axis) d[axis] = cloud.at(r, axis) - plane.centre[axis];
    for (int i = 0; i < 3; ++i)
      for (int j = 0; j < 3; ++j) cov[i][j] += d[i] * d[j];
  }
  for (auto& row : cov)
    for (double& c : row) c /= m;
  double v[3][3];
  jacobi_eigen(cov, v);
  int k = 0;
  for (int i = 1; i < 3; ++i)
    if (cov[i][i] < cov[k][k]) k = i;
  for (int axis = 0; axis < 3; ++axis) plane.normal[axis] = v[axis][k];
  plane.smallest = std::max(cov[k][k], 0.0);
  return plane;
}

// How a survey gathers each sampled point's patch.
struct PatchShape {
  std::int32_t size;
  double slab;   // half-width of the slab around the tangent plane
  double reach;  // in-plane radius within which the patch must be complete
};

// What one sampled point's patch says: the squared in-plane distance to its farthest
// member (infinite where the patch is incomplete) and the residual variance of its plane.
struct PatchStats {
  double reach2;
  double variance;
  bool complete;
};

// Gathers the patch of `query` around `plane`: the shape.size points nearest to the
// query's foot in the plane among those within the slab. Complete when no point that
// belongs to it can lie outside the searched ball.
bool gather_patch(const Cloud& cloud, const KdSearch& tree, const double query[3], const Plane& plane,
                  const PatchShape& shape, std::vector<std::int32_t>& patch, double& reach2) {
  double offset = 0.0;
  for (int axis = 0; axis < 3; ++axis) offset += (query[axis] - plane.centre[axis]) * plane.normal[axis];
  double foot[3];
  for (int axis = 0; axis < 3; ++axis) foot[axis] = query[axis] - offset * plane.normal[axis];
  const float centre[3] = {static_cast<float>(foot[0]), static_cast<float>(foot[1]), static_cast<float>(foot[2])};
  const float radius = static_cast<float>(std::sqrt(shape.reach * shape.reach + shape.slab * shape.slab));
  std::vector<std::pair<double, std::int32_t>> candidates;
  for (std::int32_t r : tree.within(centre, radius)) {
    // The foot lies on the plane, so the height above the foot is the height above the plane.
    double v[3];
    double height = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
      v[axis] = cloud.at(r, axis) - foot[axis];
      height += v[axis] * plane.normal[axis];
    }
    if (std::abs(height) > shape.slab) continue;
    const double d2 = v[0] * v[0] + v[1] * v[1] + v[2] * v[2] - height * height;
    candidates.push_back({std::max(d2, 0.0), r});
  }
  reach2 = std::numeric_limits<double>::infinity();
  const auto size = static_cast<std::size_t>(shape.size);
  if (candidates.size() < size) return false;
  std::nth_element(candidates.begin(), candidates.begin() + static_cast<std::ptrdiff_t>(size - 1), candidates.end());
  const double farthest = candidates[size - 1].first;
  // The ball holds every point of the slab up to the reach in the plane; beyond that,
  // nearer points may have been missed.
  if (!(farthest <= shape.reach * shape.reach)) return false;
  reach2 = farthest;
  patch.clear();
  for (std::size_t i = 0; i < size; ++i) patch.push_back(candidates[i].second);
  return true;
}

PatchStats survey_point(const Cloud& cloud, const KdSearch& tree, std::int32_t row, const PatchShape& shape) {
  const double query[3] = {cloud.at(row, 0), cloud.at(row, 1), cloud.at(row, 2)};
  std::vector<std::int32_t> patch = tree.nearest(cloud.points[static_cast<std::size_t>(row)].data(), orientation_neighbours);
  Plane plane = fit_plane(cloud, patch);
  double reach2 = 0.0;
  for (int round = 0; round < plane_refits; ++round) {
    if (!gather_patch(cloud, tree, query, plane, shape, patch, reach2)) return {reach2, 0.0, false};
    plane = fit_plane(cloud, patch);
  }
  // A plane takes 3 degrees of freedom from the patch's residuals.
  const double variance = plane.smallest * shape.size / (shape.size - 3);
  return {reach2, variance, true};
}

double median(std::vector<double> v) {
  const std::size_t mid = v.size() / 2;
  std::nth_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid), v.end());
  const double upper = v[mid];
  if (v.size() % 2 == 1) return upper;
  return 0.5 * (*std::max_element(v.begin(), v.begin() + static_cast<std::ptrdiff_t>(mid)) + upper);
}

// Median of chi-square with nu degrees of freedom over nu (Wilson-Hilferty): the median of
// unbiased variance estimates falls short of the variance by this factor.
double chi2_median_share(double nu) {
  const double a = 1.0 - 2.0 / (9.0 * nu);
  return a * a * a;
}

struct Estimates {
  double density;
  double sigma;
};

Estimates survey(std::span<const Point> points) {
  const Cloud cloud{points};
  std::vector<std::int32_t> finite;
  for (std::size_t i = 0; i < points.size(); ++i) {
    const Point& p = points[i];
    if (vandrel::finite(p)) finite.push_back(static_cast<std::int32_t>(i));
  }
  const std::int64_t count = static_cast<std::int64_t>(finite.size());
  if (count < min_points)
    throw Error("Vandrel:tooFewPoints", "Estimating sigma or density needs at least " + std::to_string(min_points) +
                                            " points with finite coordinates; the cloud has " +
                                            std::to_string(count) + ".");
  // Points that all coincide have no surface; a k-d tree over them would also degrade to a
  // scan of the whole cloud per query.
  const Point& first = points[static_cast<std::size_t>(finite.front())];
  if (std::all_of(finite.begin(), finite.end(), [&](std::int32_t r) { return points[static_cast<std::size_t>(r)] == first; })) {
    throw Error("Vandrel:degenerateCloud", "Cannot estimate sigma or density: all points coincide.");
  }
  const KdSearch tree(points);

  // Samples spread evenly over the row order: deterministic, and spread over the surface
  // whatever order the scanner wrote the points in.
  const std::int64_t samples = std::min(count, max_samples);
  std::vector<std::int32_t> rows;
  for (std::int64_t j = 0; j < samples; ++j) rows.push_back(finite[static_cast<std::size_t>(j * count / samples)]);

  std::vector<double> scale2;
  for (std::int32_t r : rows) {
    const std::int32_t far = tree.nearest(points[static_cast<std::size_t>(r)].data(), scale_neighbours + 1).back();
    double d2 = 0.0;
    for (int axis = 0; axis < 3; ++axis) {
      const double d = cloud.at(far, axis) - cloud.at(r, axis);
      d2 += d * d;
    }
    scale2.push_back(d2);
  }
  const double scale = std::sqrt(median(scale2));
  if (!(scale > 0.0))
    throw Error("Vandrel:degenerateCloud",
                "Cannot estimate sigma or density: most points coincide with their neighbours.");

  PatchShape shape{min_patch_size, slab_in_scales * scale, reach_in_scales * scale};
  Estimates estimates{};
  for (int pass = 0; pass < max_passes; ++pass) {
    std::vector<double> reach2;
    std::vector<double> variance;
    for (std::int32_t r : rows) {
      const PatchStats stats = survey_point(cloud, tree, r, shape);
      reach2.push_back(stats.reach2);
      if (stats.complete) variance.push_back(stats.variance);
    }
    if (variance.size() * 2 < rows.size()) {
      // Patches grown for the noise may not fit a small cloud; the last pass's estimates
      // then stand.
      if (pass > 0) break;
      throw Error("Vandrel:degenerateCloud",
                  "Cannot estimate sigma or density: the points do not sample a surface densely enough.");
    }
    // For a uniform random sampling of density rho, pi * rho * d^2 to the k-th nearest
    // neighbour in the plane follows Gamma(k, 1), whose median is close to k - 1/3 + 8/(405 k).
    const double k = shape.size - 1;
    const double gamma_median = k - 1.0 / 3.0 + 8.0 / (405.0 * k);
    estimates.density = gamma_median / (std::numbers::pi * median(reach2));
    estimates.sigma = std::sqrt(median(variance) / chi2_median_share(shape.size - 3));

    const double radius = std::max(std::sqrt(min_patch_size / (std::numbers::pi * estimates.density)),
                                   patch_radius_in_sigmas * estimates.sigma);
    const double wanted = std::ceil(std::numbers::pi * estimates.density * radius * radius);
    PatchShape next{};
    const double largest = std::max(double{min_patch_size}, std::min(double{max_patch_size}, static_cast<double>(count) / 4.0));
    next.size = static_cast<std::int32_t>(std::clamp(wanted, double{min_patch_size}, largest));
    next.slab = std::max(slab_in_scales * scale, slab_in_sigmas * estimates.sigma);
    next.reach = reach_in_patch_radii * std::sqrt(next.size / (std::numbers::pi * estimates.density));
    if (next.size == shape.size && std::abs(next.slab - shape.slab) <= 0.05 * shape.slab) break;
    shape = next;
  }
  return estimates;
}

// Neighbours of the wide neighbourhoods of surface_spread: four patches of the first survey.
constexpr std::int32_t spread_neighbours = 4 * min_patch_size;
constexpr std::int64_t spread_samples = 1024;

}  // namespace

SurfaceSpread surface_spread(std::span<const Point> points) {
  const Cloud cloud{points};
  std::vector<std::int32_t> finite;
  for (std::size_t i = 0; i < points.size(); ++i)
    if (vandrel::finite(points[i])) finite.push_back(static_cast<std::int32_t>(i));
  const auto count = static_cast<std::int64_t>(finite.size());
  SurfaceSpread spread;
  if (count <= spread_neighbours) return spread;
  const KdSearch tree(points);
  const std::int64_t samples = std::min(count, spread_samples);
  for (std::int64_t j = 0; j < samples; ++j) {
    const std::int32_t row = finite[static_cast<std::size_t>(j * count / samples)];
    const std::vector<std::int32_t> near = tree.nearest(points[static_cast<std::size_t>(row)].data(), spread_neighbours);
    const Plane plane = fit_plane(cloud, near);
    // Coordinates are single precision: a plane residual below a few of their rounding
    // steps is no spread.
    double largest = 0.0;
    for (int axis = 0; axis < 3; ++axis) largest = std::max(largest, std::abs(plane.centre[axis]));
    const double resolution = 4.0 * std::numeric_limits<float>::epsilon() * largest;
    const double rms = std::sqrt(plane.smallest);
    ++spread.neighbourhoods;
    if (rms > resolution) {
      ++spread.off_plane;
      spread.largest = std::max(spread.largest, rms);
    }
  }
  return spread;
}

float estimate_density(std::span<const Point> points) { return static_cast<float>(survey(points).density); }

float estimate_sigma(std::span<const Point> points) { return static_cast<float>(survey(points).sigma); }

}  // namespace vandrel
