#include "paired_points.hpp"

#include <limits>
#include <string>

#include "../binding/buffer.hpp"
#include "../binding/convert.hpp"
#include "../binding/sequence.hpp"

namespace tessary_py {
namespace {

std::optional<std::vector<double>> read_weights(PyObject* source, std::size_t expected) {
    if (source == Py_None) return std::nullopt;
    std::vector<double> weights;
    bind::BufferView held;
    if (const std::optional<bind::FloatRows> column = bind::import_float_column(source, held, "weights")) {
        weights.resize(column->rows);
        for (std::size_t i = 0; i < column->rows; ++i) weights[i] = column->at(i, 0);
    } else {
        if (PyUnicode_Check(source)) bind::raise_wrong_class("weights", source, "Sequence");
        bind::for_each_item(source, "weights", bind::Taking::kMayRunPython, [&](PyObject* item) {
            weights.push_back(bind::Arg<double>::convert(item, "weights"));
        });
    }
    if (weights.size() != expected) {
        bind::raise_bad_value("weights", "expected one weight per pair, " + std::to_string(expected) + ", got " +
                                             std::to_string(weights.size()));
    }
    for (std::size_t i = 0; i < weights.size(); ++i) {
        if (!(weights[i] >= 0.0 && weights[i] <= std::numeric_limits<double>::max())) {
            bind::raise_bad_value("weights", "expected finite non-negative numbers, got a weight at index " +
                                                 std::to_string(i) + " that is negative, infinite or NaN");
        }
    }
    return weights;
}

}  // namespace

PairedPoints::PairedPoints(const PointsArgument& first, const PointsArgument& second, const char* first_name,
                           const char* second_name, PyObject* weights, const char* what)
    : pairs_{first.view(), second.view()} {
    if (pairs_.first.size() != pairs_.second.size()) {
        std::string message = "expected as many ";
        message.append(what).append(" as '").append(first_name).append("', ");
        bind::raise_bad_value(second_name, message + std::to_string(pairs_.first.size()) + ", got " +
                                               std::to_string(pairs_.second.size()));
    }
    weights_ = read_weights(weights, pairs_.first.size());
    if (weights_) pairs_.weights = weights_->data();
}

}  // namespace tessary_py
