// A callable is declared by its signature, "dot($self, other)": its
// documentation is that signature as a text signature block
// ("dot($self, other)\n--\n\n", which CPython reads for introspection), and
// its name and parameter names are read from it at compile time, so each is
// written once.
#pragma once

#include <algorithm>
#include <array>
#include <cstddef>
#include <string_view>

namespace bind {

template <std::size_t N>
struct FixedString {
    char data[N];
    consteval FixedString(const char (&text)[N]) { std::copy_n(text, N, data); }
    constexpr std::string_view view() const { return {data, N - 1}; }
};

template <FixedString Text>
struct Signature {
    static constexpr std::string_view text = Text.view();

private:
    static constexpr std::string_view block_end = "\n--\n\n";
    static constexpr std::array<char, text.size() + block_end.size() + 1> doc_storage = [] {
        std::array<char, text.size() + block_end.size() + 1> block{};
        std::copy(text.begin(), text.end(), block.begin());
        std::copy(block_end.begin(), block_end.end(), block.begin() + text.size());
        return block;
    }();

    static constexpr std::size_t open = text.find('(');
    static constexpr std::size_t close = text.find(')');
    static_assert(open != std::string_view::npos && close + 1 == text.size(), "a signature is name(params)");
    static constexpr std::string_view inside = text.substr(open + 1, close - open - 1);

public:
    static constexpr const char* doc = doc_storage.data();
    static constexpr bool has_self = inside.starts_with("$self");

private:
    static constexpr std::string_view param_list =
        !has_self ? inside : inside.size() == 5 ? std::string_view{} : inside.substr(7);

    static constexpr std::size_t count_params() {
        if (param_list.empty()) return 0;
        return 1 + static_cast<std::size_t>(std::count(param_list.begin(), param_list.end(), ','));
    }

public:
    static constexpr std::size_t arity = count_params();

    static constexpr std::array<std::string_view, arity> params = [] {
        std::array<std::string_view, arity> names{};
        std::string_view rest = param_list;
        for (std::size_t i = 0; i < arity; ++i) {
            const std::size_t comma = rest.find(", ");
            names[i] = rest.substr(0, comma);
            rest = comma == std::string_view::npos ? std::string_view{} : rest.substr(comma + 2);
        }
        return names;
    }();

private:
    static constexpr std::array<char, open + 1> name_storage = [] {
        std::array<char, open + 1> name{};
        std::copy_n(text.begin(), open, name.begin());
        return name;
    }();

public:
    static constexpr std::string_view name{name_storage.data(), open};
    static constexpr const char* c_name = name_storage.data();
};

}  // namespace bind
