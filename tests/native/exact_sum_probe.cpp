// Drives the core's exact sums from standard input, one case a line, and
// prints each result for the test to compare with exact rationals:
//   S d1 d2 k v1 .. vk m a1 b1 .. am bm   -> (sum v + sum a b) / (d1 d2),
//                                            rounded (hexadecimal double)
//   I k op1 .. opk                        -> a 128-bit partial sum: sign,
//                                            high and low halves (hex)
// where an op is "a v", "p a b", "s v shift" or "q a b shift" (Int128's
// add, add_product, add_shifted, add_product_shifted).
#include <cinttypes>
#include <cstdio>
#include <iostream>
#include <string>

#include "exact_sum.hpp"

int main() {
    std::string kind;
    while (std::cin >> kind) {
        if (kind == "S") {
            std::uint64_t d1, d2;
            std::size_t k, m;
            std::cin >> d1 >> d2 >> k;
            tessary::ExactSum sum;
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
            tessary::ExactSum merged;  // merging is exact too
            merged.merge(sum);
            const double value = merged.has_special() ? merged.special() : merged.value().divided_rounded(d1, d2);
            std::printf("%a\n", value);
        } else {
            std::size_t k;
            std::cin >> k;
            tessary::Int128 total;
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
            std::uint64_t high, low;
            total.magnitude(high, low);
            std::printf("%d %" PRIx64 " %" PRIx64 "\n", total.negative() ? 1 : 0, high, low);
        }
    }
}
