// Two point arguments paired one to one, with their optional weights: the
// input of the alignments (Quat.align, Transform.align), checked.
#pragma once

#include <cstddef>
#include <optional>
#include <vector>

#include "../binding/python.hpp"
#include "align.hpp"
#include "points_argument.hpp"

namespace tessary_py {

class PairedPoints {
public:
    // ValueError, naming the argument, unless `second` has as many points
    // (`what`: "vectors", "points") as `first` and there is one finite,
    // non-negative weight per pair (weights: None, a one-dimensional
    // buffer of real numbers, or a sequence of numbers).
    PairedPoints(const PointsArgument& first, const PointsArgument& second, const char* first_name,
                 const char* second_name, PyObject* weights, const char* what);
    // The pairs point into the weights held here.
    PairedPoints(const PairedPoints&) = delete;
    PairedPoints& operator=(const PairedPoints&) = delete;

    std::size_t size() const { return pairs_.first.size(); }
    bool weighted() const { return pairs_.weights != nullptr; }
    const tessary::PointPairs& pairs() const { return pairs_; }

private:
    std::optional<std::vector<double>> weights_;
    tessary::PointPairs pairs_;
};

}  // namespace tessary_py
