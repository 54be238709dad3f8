#include "statistics.hpp"

#include <cstdint>

#include "../binding/convert.hpp"
#include "../platform.hpp"
#include "../pool/ranges.hpp"
#include "bounds.hpp"
#include "fit.hpp"
#include "moment_blocks.hpp"

namespace tessary_py::statistics {
namespace {

const tessary::moment_blocks::Kernels& moment_kernels() {
#if TESSARY_HAVE_AVX2_TWINS
    if (platform::has_avx2) return tessary::moment_blocks::kAvx2Kernels;
#endif
    return tessary::moment_blocks::kPlainKernels;
}

tessary::BoundsScan bounds_scan() {
#if TESSARY_HAVE_AVX2_TWINS
    if (platform::has_avx2) return &tessary::bounds_avx2;
#endif
    return &tessary::bounds_plain;
}

}  // namespace

tessary::Moments moments(std::span<const Vec3d> points, bool products) {
    if (products) return tessary::moments_of<true>(points, moment_kernels(), PoolRanges{});
    return tessary::moments_of<false>(points, moment_kernels(), PoolRanges{});
}

Vec3d centroid(const VecList& list) { return tessary::centroid_of(moments(list.view(), false).sums, list.size()); }

std::pair<Vec3d, Vec3d> bounds(const VecList& list) {
    const tessary::Bounds box = tessary::bounds_of(list.view(), bounds_scan(), PoolRanges{});
    return {box.low, box.high};
}

tessary::Matrix3 covariance(const VecList& list, PyObject* ddof) {
    const std::uint64_t d = ddof == Py_None ? 0 : bind::Arg<bind::Index>::convert(ddof, "ddof").value;
    return tessary::covariance_of(moments(list.view(), true), d);
}

std::pair<std::array<double, 3>, std::array<Vec3d, 3>> principal_axes(const VecList& list) {
    const tessary::PrincipalAxes axes = tessary::principal_axes_of(tessary::covariance_of(moments(list.view(), true), 0));
    return {axes.variances, axes.axes};
}

}  // namespace tessary_py::statistics
