#include "statistics.hpp"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "../binding/buffer.hpp"
#include "../classes.hpp"
#include "../pool/pool.hpp"
#include "kernels.hpp"

namespace tessary_py::statistics {
namespace {

using tessary::ExactSum;
using tessary::Matrix3;
using tessary::Moments;
using tessary::Quat;

// Points per range on the pool: the exact sums cost a few nanoseconds a
// point on their fast path and a few tens off it.
constexpr std::size_t kGrainMoments = 16384;
// Points per block of the fixed-point path.
constexpr std::size_t kBlock = 256;
// Pairs per fixed chunk of the alignment's floating-point sums: the chunks,
// and so the order of every sum, do not depend on the number of threads.
constexpr std::size_t kAlignChunk = 4096;
constexpr std::size_t kGrainAlignChunks = 4;

static_assert(sizeof(Vec3d) == 3 * sizeof(double) && std::is_standard_layout_v<Vec3d>);

// The fast path of the exact sums. Within a block, when each component's
// non-zero values have exponents at most `Spread` apart, every value is an
// integer multiple of the block's finest lowest bit 2^L: its mantissa
// shifted by its exponent's distance from the finest. Such integers (below
// 2^(53 + Spread)) and their products are summed exactly in 128-bit
// integers, and each block total enters the exact sum as one integer times
// 2^L. Map coordinates (x near 5e5, y near 5e6, a ground z), whose values
// share one or two binades, take it always. Returns false, having added
// nothing, when the block does not qualify (an exponent range too wide, an
// infinity or a NaN).
template <bool Products>
bool add_block_fixed(const Vec3d* points, std::size_t count, Moments& m) {
    constexpr int kSpread = Products ? 2 : 10;
    const double* flat = reinterpret_cast<const double*>(points);
    int lowest[3] = {2047, 2047, 2047};
    int highest[3] = {0, 0, 0};
    bool finite = true;
    for (std::size_t i = 0; i < count; ++i) {
        for (int j = 0; j < 3; ++j) {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(flat[3 * i + j]);
            const int field = static_cast<int>((bits >> 52) & 0x7FF);
            finite = finite && field != 0x7FF;
            const int exponent = field == 0 ? 1 : field;
            const bool zero = (bits << 1) == 0;
            lowest[j] = std::min(lowest[j], zero ? 2047 : exponent);
            highest[j] = std::max(highest[j], exponent);
        }
    }
    if (!finite) return false;
    for (int j = 0; j < 3; ++j) {
        if (highest[j] - lowest[j] > kSpread) return false;
    }
    tessary::Int128 sums[3];
    tessary::Int128 products[6];
    for (std::size_t i = 0; i < count; ++i) {
        std::int64_t x[3];
        for (int j = 0; j < 3; ++j) {
            const std::uint64_t bits = std::bit_cast<std::uint64_t>(flat[3 * i + j]);
            const int field = static_cast<int>((bits >> 52) & 0x7FF);
            const std::uint64_t mantissa =
                (bits & ((std::uint64_t{1} << 52) - 1)) | (field != 0 ? std::uint64_t{1} << 52 : 0);
            const int shift = mantissa == 0 ? 0 : (field == 0 ? 1 : field) - lowest[j];
            const auto magnitude = static_cast<std::int64_t>(mantissa << shift);
            const std::int64_t flip = -static_cast<std::int64_t>(bits >> 63);
            x[j] = (magnitude ^ flip) - flip;
            sums[j].add(x[j]);
        }
        if constexpr (Products) {
            products[0].add_product(x[0], x[0]);
            products[1].add_product(x[0], x[1]);
            products[2].add_product(x[0], x[2]);
            products[3].add_product(x[1], x[1]);
            products[4].add_product(x[1], x[2]);
            products[5].add_product(x[2], x[2]);
        }
    }
    int base[3];
    for (int j = 0; j < 3; ++j) {
        base[j] = lowest[j] - 1075;
        m.sums[j].add_integer(sums[j], base[j]);
    }
    if constexpr (Products) {
        for (std::size_t j = 0; j < 3; ++j) {
            for (std::size_t k = j; k < 3; ++k) {
                m.products[Moments::product_index(j, k)].add_integer(products[Moments::product_index(j, k)],
                                                                     base[j] + base[k]);
            }
        }
    }
    m.count += count;
    return true;
}

template <bool Products>
void add_range(std::span<const Vec3d> points, Moments& m) {
    for (std::size_t start = 0; start < points.size(); start += kBlock) {
        const std::size_t count = std::min(kBlock, points.size() - start);
        const Vec3d* block = points.data() + start;
        if (add_block_fixed<Products>(block, count, m)) continue;
        for (std::size_t i = 0; i < count; ++i) {
            if constexpr (Products) {
                m.add(block[i]);
            } else {
                for (int j = 0; j < 3; ++j) m.sums[j].add(block[i].to_array()[j]);
                ++m.count;
            }
        }
    }
}

// The exact sums (and with Products the exact sums of products) of the
// points, over the pool: exact partial sums merge exactly, so the result
// does not depend on how the work was divided.
template <bool Products>
Moments moments(std::span<const Vec3d> points) {
    if (points.empty()) return {};
    return pool::parallel_reduce(
        points.size(), kGrainMoments,
        [&](std::size_t begin, std::size_t end) {
            Moments m;
            add_range<Products>(points.subspan(begin, end - begin), m);
            return m;
        },
        [](Moments left, const Moments& right) {
            left.merge(right);
            return left;
        });
}

// The points of an argument: a VecList (its elements, pinned for as long
// as this lives) or any (n, 3) buffer of floating-point numbers (read in
// place when it holds packed doubles, else copied).
class Points {
public:
    Points(PyObject* source, const char* name) {
        if (bind::is_instance<VecList>(source)) {
            pinned_ = bind::read<VecList>(source).pin();
            if (pinned_) view_ = pinned_->view();
            return;
        }
        const std::optional<bind::FloatRows> rows = bind::import_float_rows(source, held_, name, 3);
        if (!rows) bind::raise_wrong_class(name, source, bind::class_name<VecList>);
        if (rows->packed_doubles(3)) {
            view_ = {reinterpret_cast<const Vec3d*>(rows->first), rows->rows};
        } else {
            copy_.resize(rows->rows);
            kernels::gather_rows(*rows, copy_.data());
            view_ = copy_;
        }
    }

    std::span<const Vec3d> view() const { return view_; }

private:
    PinnedElements pinned_;
    bind::BufferView held_;
    std::vector<Vec3d> copy_;
    std::span<const Vec3d> view_;
};

// The smaller of two components by the bounds' rule: a NaN gives way to
// any number, and -0.0 is below +0.0.
double lower(double a, double b) {
    if (b < a || a != a) return b;
    if (b == a && std::signbit(b)) return b;
    return a;
}

double upper(double a, double b) {
    if (b > a || a != a) return b;
    if (b == a && !std::signbit(b)) return b;
    return a;
}

struct Box {
    Vec3d low;
    Vec3d high;
};

Box widen(const Box& box, const Box& other) {
    return {{lower(box.low.x, other.low.x), lower(box.low.y, other.low.y), lower(box.low.z, other.low.z)},
            {upper(box.high.x, other.high.x), upper(box.high.y, other.high.y), upper(box.high.z, other.high.z)}};
}

std::uint64_t read_ddof(PyObject* ddof) {
    if (ddof == Py_None) return 0;
    return bind::Arg<bind::Index>::convert(ddof, "ddof").value;
}

[[noreturn]] void raise_count(const char* argument, const std::string& what) {
    std::string message = "argument '";
    message.append(argument).append("': ").append(what);
    bind::raise(PyExc_ValueError, message);
}

// The weights of `align`: None, a one-dimensional float buffer, or a
// sequence of numbers; each finite and not negative.
std::optional<std::vector<double>> read_weights(PyObject* source, std::size_t expected) {
    if (source == Py_None) return std::nullopt;
    std::vector<double> weights;
    bind::BufferView held;
    if (const std::optional<bind::FloatRows> column = bind::import_float_column(source, held, "weights")) {
        weights.resize(column->rows);
        for (std::size_t i = 0; i < column->rows; ++i) weights[i] = column->at(i, 0);
    } else {
        if (!PySequence_Check(source) || PyUnicode_Check(source)) {
            bind::raise_wrong_class("weights", source, "Sequence");
        }
        bind::Ref iterator(PyObject_GetIter(source));
        if (!iterator) bind::reraise_for_argument("weights");
        while (bind::Ref item{PyIter_Next(iterator.get())}) {
            weights.push_back(bind::Arg<double>::convert(item.get(), "weights"));
        }
        if (PyErr_Occurred()) bind::reraise_for_argument("weights");
    }
    if (weights.size() != expected) {
        raise_count("weights", "expected one weight per pair, " + std::to_string(expected) + ", got " +
                                   std::to_string(weights.size()));
    }
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (!(weights[i] >= 0.0 && weights[i] <= std::numeric_limits<double>::max())) {
            raise_count("weights", "expected finite non-negative numbers, got a weight at index " +
                                       std::to_string(i) + " that is negative, infinite or NaN");
        }
    }
    return weights;
}

// sum over pairs of f(begin, end) -> T in fixed chunks, added in chunk
// order: the same bits at any number of threads.
template <class T, class F>
T chunked(std::size_t n, const F& partial) {
    const std::size_t chunks = (n + kAlignChunk - 1) / kAlignChunk;
    std::vector<T> parts(chunks);
    pool::parallel_for(chunks, kGrainAlignChunks, [&](std::size_t begin, std::size_t end) {
        for (std::size_t c = begin; c < end; ++c) {
            parts[c] = partial(c * kAlignChunk, std::min(n, (c + 1) * kAlignChunk));
        }
    });
    T total{};
    for (const T& part : parts) total = total + part;
    return total;
}

struct Correlation {
    Matrix3 h{};
    Correlation operator+(const Correlation& other) const {
        Correlation out;
        for (int j = 0; j < 3; ++j) {
            for (int k = 0; k < 3; ++k) out.h[j][k] = h[j][k] + other.h[j][k];
        }
        return out;
    }
};

struct Squares {
    double sum = 0.0;
    Squares operator+(const Squares& other) const { return {sum + other.sum}; }
};

}  // namespace

Vec3d centroid(const VecList& list) {
    const Moments m = moments<false>(list.view());
    return tessary::centroid_of(m.sums, list.size());
}

std::pair<Vec3d, Vec3d> bounds(const VecList& list) {
    const std::span<const Vec3d> points = list.view();
    constexpr double nan = std::numeric_limits<double>::quiet_NaN();
    if (points.empty()) return {{nan, nan, nan}, {nan, nan, nan}};
    const Box box = pool::parallel_reduce(
        points.size(), kernels::kGrainLight,
        [&](std::size_t begin, std::size_t end) {
            Box b{{nan, nan, nan}, {nan, nan, nan}};
            for (std::size_t i = begin; i < end; ++i) b = widen(b, {points[i], points[i]});
            return b;
        },
        widen);
    return {box.low, box.high};
}

Matrix3 covariance(const VecList& list, PyObject* ddof) {
    const std::uint64_t d = read_ddof(ddof);
    return tessary::covariance_of(moments<true>(list.view()), d);
}

std::pair<std::array<double, 3>, std::array<Vec3d, 3>> principal_axes(const VecList& list) {
    const tessary::PrincipalAxes axes = tessary::principal_axes_of(tessary::covariance_of(moments<true>(list.view()), 0));
    return {axes.variances, axes.axes};
}

tessary::Plane fit_plane(PyObject* source) {
    const Points points(source, "points");
    const std::size_t n = points.view().size();
    if (n < 3) raise_count("points", "a plane needs at least 3 points, got " + std::to_string(n));
    const Moments m = moments<true>(points.view());
    const tessary::PrincipalAxes axes = tessary::principal_axes_of(tessary::covariance_of(m, 0));
    if (!tessary::spans_a_plane(axes)) {
        raise_count("points", "the points lie on one line (or are one point), so no single plane fits them");
    }
    return tessary::plane_fit(axes, tessary::centroid_of(m.sums, n));
}

std::pair<Quat, double> align(PyObject* a_source, PyObject* b_source, PyObject* weight_source) {
    const Points a_points(a_source, "a");
    const Points b_points(b_source, "b");
    const std::span<const Vec3d> a = a_points.view();
    const std::span<const Vec3d> b = b_points.view();
    if (a.size() != b.size()) {
        raise_count("b", "expected as many vectors as 'a', " + std::to_string(a.size()) + ", got " +
                             std::to_string(b.size()));
    }
    const std::optional<std::vector<double>> weights = read_weights(weight_source, a.size());
    const double* w = weights ? weights->data() : nullptr;
    // h[j][k] = sum of (w a_j) b_k, each chunk summed in pair order.
    const Correlation correlation = chunked<Correlation>(a.size(), [&](std::size_t begin, std::size_t end) {
        Correlation part;
        for (std::size_t i = begin; i < end; ++i) {
            const Vec3d wa = w != nullptr ? a[i].mul(w[i]) : a[i];
            const std::array<double, 3> x = wa.to_array();
            const std::array<double, 3> y = b[i].to_array();
            for (int j = 0; j < 3; ++j) {
                for (int k = 0; k < 3; ++k) part.h[j][k] = part.h[j][k] + x[j] * y[k];
            }
        }
        return part;
    });
    const Quat q = tessary::wahba_rotation(correlation.h);
    // The residual from the distances themselves, not from the eigenvalue:
    // small residuals keep their digits.
    const Squares squares = chunked<Squares>(a.size(), [&](std::size_t begin, std::size_t end) {
        Squares part;
        for (std::size_t i = begin; i < end; ++i) {
            const double d2 = q.rotate(a[i]).distance_squared(b[i]);
            part.sum = part.sum + (w != nullptr ? w[i] * d2 : d2);
        }
        return part;
    });
    return {q, std::sqrt(squares.sum)};
}

}  // namespace tessary_py::statistics
