// The exact sums: the portable 128-bit arithmetic against the native one,
// and sums that do not depend on the order of their terms or on how they
// were split and merged. Their values against exact rationals are checked
// from Python (tests/test_statistics.py), which feeds the driver below:
//   S d1 d2 k v1 .. vk m a1 b1 .. am bm   -> (sum v + sum a b) / (d1 d2),
//                                            rounded (hexadecimal double)
//   I k op1 .. opk                        -> a 128-bit partial sum: sign,
//                                            high and low halves (hex)
//   P k op1 .. opk                        -> the same, by the portable one
// where an op is "a v", "p a b", "s v shift" or "q a b shift" (add,
// add_product, add_shifted, add_product_shifted), numbers as C++ reads them.
#include <algorithm>
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <limits>
#include <random>
#include <string>
#include <vector>

#include "checks.hpp"
#include "exact_sum.hpp"
#include "int128.hpp"

namespace native_tests {
namespace {

using tessary::ExactSum;

bool equal(const ExactSum& a, const ExactSum& b) {
    return a.has_special() == b.has_special() && same_bits(a.special(), b.special()) &&
           a.value().minus(b.value()).is_zero();
}

template <class Integer>
void print_integer(const Integer& total) {
    std::uint64_t high, low;
    total.magnitude(high, low);
    std::printf("%d %" PRIx64 " %" PRIx64 "\n", total.negative() ? 1 : 0, high, low);
}

template <class Integer>
void read_integer_ops() {
    std::size_t k;
    std::cin >> k;
    Integer total;
    for (std::size_t i = 0; i < k; ++i) {
        std::string op;
        std::int64_t a, b;
        int shift;
        std::cin >> op >> a;
        if (op == "a") {
            total.add(a);
        } else if (op == "p") {
            std::cin >> b;
            total.add_product(a, b);
        } else if (op == "s") {
            std::cin >> shift;
            total.add_shifted(a, shift);
        } else {
            std::cin >> b >> shift;
            total.add_product_shifted(a, b, shift);
        }
    }
    print_integer(total);
}

}  // namespace

int drive_exact_sums() {
    std::string kind;
    while (std::cin >> kind) {
        if (kind == "S") {
            std::uint64_t d1, d2;
            std::size_t k, m;
            std::cin >> d1 >> d2 >> k;
            ExactSum sum;
            for (std::size_t i = 0; i < k; ++i) {
                std::string v;
                std::cin >> v;
                sum.add(std::stod(v));
            }
            std::cin >> m;
            for (std::size_t i = 0; i < m; ++i) {
                std::string a, b;
                std::cin >> a >> b;
                sum.add_product(std::stod(a), std::stod(b));
            }
            ExactSum merged;  // merging is exact too
            merged.merge(sum);
            const double value = merged.has_special() ? merged.special() : merged.value().divided_rounded(d1, d2);
            std::printf("%a\n", value);
        } else if (kind == "I") {
            read_integer_ops<tessary::Int128>();
        } else if (kind == "P") {
            read_integer_ops<tessary::PortableInt128>();
        } else {
            std::fprintf(stderr, "unknown case %s\n", kind.c_str());
            return 2;
        }
    }
    return 0;
}

void exact_sum_tests(Checks& checks) {
    std::mt19937_64 random(5);
    // The full product, from 32-bit halves and natively.
    const std::uint64_t edges[] = {0, 1, 0xFFFFFFFF, 0x100000000, 0xFFFFFFFFFFFFFFFF, 0x8000000000000000,
                                   0x7FFFFFFFFFFFFFFF, 0xDEADBEEFCAFEF00D};
    std::vector<std::uint64_t> values(std::begin(edges), std::end(edges));
    for (int i = 0; i < 2000; ++i) values.push_back(random() >> (random() % 64));
    bool ok = true;
    for (std::size_t i = 0; i < values.size(); ++i) {
        const std::uint64_t a = values[i], b = values[(i * 7 + 3) % values.size()];
        std::uint64_t h1, l1, h2, l2;
        tessary::multiply_wide(a, b, h1, l1);
        tessary::multiply_wide_portable(a, b, h2, l2);
        ok = ok && h1 == h2 && l1 == l2;
        // The low half is the wrapped product.
        ok = ok && l2 == a * b;
    }
    checks.expect(ok, "the portable full product against the native one");
    // The portable 128-bit sums against the native ones, on every kind of
    // step and sign.
    ok = true;
    for (int run = 0; run < 300; ++run) {
        tessary::Int128 native;
        tessary::PortableInt128 portable;
        for (int step = 0; step < 12; ++step) {
            const std::int64_t a = static_cast<std::int64_t>(random()) >> 7;  // below 2^57
            const std::int64_t b = static_cast<std::int64_t>(random()) >> 7;
            const int shift = static_cast<int>(random() % 8);
            switch (random() % 4) {
                case 0: native.add(a), portable.add(a); break;
                case 1: native.add_product(a, b), portable.add_product(a, b); break;
                case 2: native.add_shifted(a, shift * 8), portable.add_shifted(a, shift * 8); break;
                default: native.add_product_shifted(a, b, shift), portable.add_product_shifted(a, b, shift);
            }
        }
        std::uint64_t h1, l1, h2, l2;
        native.magnitude(h1, l1);
        portable.magnitude(h2, l2);
        ok = ok && native.negative() == portable.negative() && h1 == h2 && l1 == l2;
    }
    checks.expect(ok, "the portable 128-bit sums against the native ones");

    // Terms of every exponent and sign, and special values: any order, and
    // any split into merged parts, gives the same exact sum.
    std::vector<double> terms;
    for (int i = 0; i < 3000; ++i) {
        const double mantissa = 1.0 + static_cast<double>(random() >> 12) * 0x1p-52;
        const int exponent = static_cast<int>(random() % 2098) - 1074;
        terms.push_back((random() % 2 ? -1.0 : 1.0) * std::ldexp(mantissa, exponent));
    }
    terms.push_back(std::numeric_limits<double>::denorm_min());
    terms.push_back(-0.0);
    ExactSum forward, merged;
    for (double t : terms) forward.add(t);
    std::shuffle(terms.begin(), terms.end(), random);
    for (std::size_t begin = 0, step = 1; begin < terms.size(); begin += step, step = step * 3 % 997 + 1) {
        ExactSum part;
        for (std::size_t i = begin; i < std::min(terms.size(), begin + step); ++i) part.add(terms[i]);
        merged.merge(part);
    }
    checks.expect(equal(forward, merged), "a sum in any order and split");
    ExactSum products, reversed;
    for (std::size_t i = 0; i + 1 < terms.size(); i += 2) products.add_product(terms[i], terms[i + 1]);
    for (std::size_t i = terms.size() - terms.size() % 2; i >= 2; i -= 2) reversed.add_product(terms[i - 1], terms[i - 2]);
    checks.expect(equal(products, reversed), "a sum of products in any order");
    // Cancellation leaves what a rounded sum would lose: 1e300 + 1 - 1e300.
    ExactSum cancelling;
    cancelling.add(1e300);
    cancelling.add(1.0);
    cancelling.add(-1e300);
    checks.expect(same_bits(cancelling.round(), 1.0), "cancellation keeps the small term");
    // The special values' rule.
    const double inf = std::numeric_limits<double>::infinity();
    auto special_of = [](std::initializer_list<double> vs) {
        ExactSum s;
        for (double v : vs) s.add(v);
        return s.round();
    };
    checks.expect(special_of({1.0, inf}) == inf && special_of({-inf, 2.0}) == -inf &&
                      std::isnan(special_of({inf, -inf})) && std::isnan(special_of({1.0, std::nan("")})),
                  "special values");
    // One term many times: its exact multiple.
    ExactSum many;
    for (std::uint32_t i = 0; i < (std::uint32_t{1} << 22); ++i) many.add(0x1.fffffffffffffp+0);
    checks.expect(same_bits(many.round(), 0x1.fffffffffffffp+22), "a term added many times");
}

}  // namespace native_tests
