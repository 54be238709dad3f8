#include "matrix.hpp"

#include <algorithm>
#include <optional>
#include <string>
#include <vector>

#include "buffer.hpp"
#include "convert.hpp"
#include "errors.hpp"
#include "ref.hpp"
#include "sequence.hpp"

namespace bind {
namespace {

// The items of a sequence, owned: converting a number may run Python code,
// which must not be able to change what is read next.
std::vector<Ref> items(PyObject* sequence, std::string_view argument) {
    if (PyUnicode_Check(sequence)) raise_wrong_class(argument, sequence, "Sequence");
    std::vector<Ref> read;
    for_each_item(sequence, argument, Taking::kMayRunPython, [&](PyObject* item) { read.push_back(Ref::borrowed(item)); });
    return read;
}

}  // namespace

std::size_t read_matrix(PyObject* m, std::string_view argument, std::span<const std::size_t> heights,
                        std::size_t width, double* out) {
    BufferView held;
    if (const std::optional<FloatRows> floats = import_float_matrix(m, held, argument, heights, width)) {
        for (std::size_t r = 0; r < floats->rows; ++r) {
            for (std::size_t c = 0; c < width; ++c) out[r * width + c] = floats->at(r, c);
        }
        return floats->rows;
    }
    const std::vector<Ref> outer = items(m, argument);
    std::vector<std::vector<Ref>> inner;
    for (const Ref& row : outer) inner.push_back(items(row.get(), argument));
    const auto wrong = std::ranges::find_if(inner, [&](const auto& row) { return row.size() != width; });
    if (std::ranges::find(heights, outer.size()) == heights.end() || wrong != inner.end()) {
        // Rows of one length have a shape; rows of several lengths do not,
        // and the first that is not `width` long is what is wrong.
        const bool even = std::ranges::all_of(inner, [&](const auto& row) { return row.size() == inner[0].size(); });
        std::string got = "(" + std::to_string(outer.size());
        got += outer.empty() ? ",)" : ", " + std::to_string(inner[0].size()) + ")";
        if (!even) got = "a row of length " + std::to_string(wrong->size());
        raise_wrong_matrix_shape(argument, heights, width, got);
    }
    for (std::size_t r = 0; r < outer.size(); ++r) {
        for (std::size_t c = 0; c < width; ++c) out[r * width + c] = Arg<double>::convert(inner[r][c].get(), argument);
    }
    return outer.size();
}

}  // namespace bind
