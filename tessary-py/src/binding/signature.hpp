// A callable is declared by its signature, "dot($self, other)": its
// documentation is that signature as a text signature block
// ("dot($self, other)\n--\n\n", which CPython reads for introspection), and
// its name and parameter names are read from it at compile time, so each is
// written once.
//
// The signature is checked as it is read, and a malformed one does not
// compile: CPython would otherwise publish a text signature that inspect
// cannot parse, and keyword arguments would be matched against the wrong
// names. Its form is exactly
//
//     name(a, b)    name($self)    name($self, a, b)    name()
//     name($self, a, b=None)    name($self, a, *, out=None)
//
// with identifiers for names, ", " between parameters, "$self" only first,
// and "*" before the keyword-only parameters. A default is None, True or
// False: a parameter declared "=None" (or "=True", "=False") and not given
// is bound to that object.
//
// The parse works on indices into a copy of the text, never on pointers: GCC
// cannot evaluate a pointer into a template parameter object at compile time
// once -fsanitize=null (or nonnull-attribute, part of -fsanitize=undefined)
// checks it, so string_view::find would not compile in a sanitizer build.
#pragma once

#include <array>
#include <cstddef>
#include <string_view>

namespace bind {

// What a parameter is bound to when it is not given.
enum class Default : unsigned char { kRequired, kNone, kTrue, kFalse };

template <std::size_t N>
struct FixedString {
    char data[N];
    consteval FixedString(const char (&text)[N]) {
        for (std::size_t i = 0; i < N; ++i) data[i] = text[i];
    }
};

namespace detail {

// The first thing wrong with a signature, if anything is.
enum class SignatureFault {
    none, name, parentheses, separator, empty_parameter, parameter_name, self, duplicate, keyword_marker,
    default_value, default_order
};

struct SignatureLayout {
    SignatureFault fault = SignatureFault::none;
    std::size_t open = 0;  // the position of '('
    bool has_self = false;
    std::size_t arity = 0;       // parameters after $self
    std::size_t positional = 0;  // of them, those before '*'
    std::size_t first = 0;       // where the first of them begins
};

constexpr bool identifier_start(char c) { return c == '_' || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'); }
constexpr bool identifier_char(char c) { return identifier_start(c) || (c >= '0' && c <= '9'); }

// The default text[from, to) declares: "=None", "=True", "=False", or none
// of them (kRequired).
template <std::size_t N>
constexpr Default default_of(const std::array<char, N>& text, std::size_t from, std::size_t to) {
    auto is = [&](std::string_view written) {
        if (to - from != written.size()) return false;
        for (std::size_t i = 0; i < to - from; ++i) {
            if (text[from + i] != written[i]) return false;
        }
        return true;
    };
    return is("=None") ? Default::kNone : is("=True") ? Default::kTrue : is("=False") ? Default::kFalse : Default::kRequired;
}

// `text` holds the signature and its terminating NUL, so its last index is
// the length.
template <std::size_t N>
constexpr SignatureLayout layout_of(const std::array<char, N>& text) {
    constexpr std::size_t size = N - 1;
    SignatureLayout layout;
    auto fail = [&](SignatureFault fault) {
        layout.fault = fault;
        return layout;
    };

    std::size_t i = 0;
    while (i < size && identifier_char(text[i])) ++i;
    if (i == size || text[i] == ')') return fail(SignatureFault::parentheses);
    if (text[i] != '(' || i == 0 || !identifier_start(text[0])) return fail(SignatureFault::name);
    layout.open = i;
    const std::size_t close = size - 1;
    if (close == layout.open || text[close] != ')') return fail(SignatureFault::parentheses);
    for (std::size_t j = layout.open + 1; j < close; ++j) {
        if (text[j] == '(' || text[j] == ')') return fail(SignatureFault::parentheses);
    }

    std::size_t at = layout.open + 1;
    if (at == close) return layout;
    if (close - at >= 5 && text[at] == '$' && text[at + 1] == 's' && text[at + 2] == 'e' && text[at + 3] == 'l' &&
        text[at + 4] == 'f') {
        layout.has_self = true;
        at += 5;
        if (at == close) return layout;
        if (text[at] != ',' || text[at + 1] != ' ') return fail(SignatureFault::self);
        at += 2;
    }
    layout.first = at;
    bool keyword_only = false;
    bool after_default = false;
    while (true) {
        std::size_t end = at;
        while (end < close && text[end] != ',') ++end;
        if (end == at) return fail(SignatureFault::empty_parameter);
        if (text[at] == '$') return fail(SignatureFault::self);
        if (text[at] == '*') {
            if (end != at + 1 || keyword_only || end == close) return fail(SignatureFault::keyword_marker);
            keyword_only = true;
            layout.positional = layout.arity;
        } else {
            if (!identifier_start(text[at])) return fail(SignatureFault::parameter_name);
            std::size_t name_end = at + 1;
            while (name_end < end && identifier_char(text[name_end])) ++name_end;
            if (name_end < end && text[name_end] == '=') {
                if (default_of(text, name_end, end) == Default::kRequired) return fail(SignatureFault::default_value);
                after_default = after_default || !keyword_only;
            } else if (name_end != end) {
                return fail(SignatureFault::parameter_name);
            } else if (after_default && !keyword_only) {
                return fail(SignatureFault::default_order);
            }
            ++layout.arity;
        }
        if (end == close) break;
        if (text[end + 1] != ' ') return fail(SignatureFault::separator);
        at = end + 2;
    }
    if (!keyword_only) layout.positional = layout.arity;
    return layout;
}

// Where each parameter name begins, how long it is, and its default.
struct Span {
    std::size_t begin;
    std::size_t size;
    Default given;
};

template <std::size_t Arity, std::size_t N>
constexpr std::array<Span, Arity> spans_of(const std::array<char, N>& text, std::size_t at) {
    std::array<Span, Arity> spans{};
    for (std::size_t k = 0; k < Arity; at += 2) {
        std::size_t end = at;
        while (text[end] != ',' && text[end] != ')') ++end;
        if (text[at] != '*') {
            std::size_t name_end = at;
            while (name_end < end && text[name_end] != '=') ++name_end;
            spans[k++] = {at, name_end - at, default_of(text, name_end, end)};
        }
        at = end;
    }
    return spans;
}

template <std::size_t Arity, std::size_t N>
constexpr bool distinct(const std::array<char, N>& text, const std::array<Span, Arity>& spans) {
    for (std::size_t a = 0; a < Arity; ++a) {
        for (std::size_t b = a + 1; b < Arity; ++b) {
            bool same = spans[a].size == spans[b].size;
            for (std::size_t j = 0; same && j < spans[a].size; ++j) {
                same = text[spans[a].begin + j] == text[spans[b].begin + j];
            }
            if (same) return false;
        }
    }
    return true;
}

}  // namespace detail

template <FixedString Text>
struct Signature {
private:
    static constexpr std::size_t size = sizeof(Text.data) - 1;
    static constexpr std::array<char, size + 1> chars = [] {
        std::array<char, size + 1> copy{};
        for (std::size_t i = 0; i <= size; ++i) copy[i] = Text.data[i];
        return copy;
    }();

    static constexpr detail::SignatureLayout layout = detail::layout_of(chars);
    using Fault = detail::SignatureFault;
    static_assert(layout.fault != Fault::name, "signature: it begins with the callable's name, an identifier");
    static_assert(layout.fault != Fault::parentheses,
                  "signature: it is name(parameters), with one '(' after the name, one ')' at the end, none elsewhere");
    static_assert(layout.fault != Fault::separator, "signature: parameters are separated by a comma and one space");
    static_assert(layout.fault != Fault::empty_parameter, "signature: a parameter name is empty");
    static_assert(layout.fault != Fault::parameter_name,
                  "signature: a parameter name is an identifier (letters, digits, '_'), without spaces");
    static_assert(layout.fault != Fault::self, "signature: $self comes first, then a comma and one space or the closing ')'");
    static_assert(layout.fault != Fault::keyword_marker,
                  "signature: '*' stands alone, at most once, and keyword-only parameters follow it");
    static_assert(layout.fault != Fault::default_value,
                  "signature: a default is None, True or False, written name=None, name=True or name=False");
    static_assert(layout.fault != Fault::default_order,
                  "signature: a positional parameter with a default is followed only by others with one");

    static constexpr bool well_formed = layout.fault == Fault::none;
    static constexpr std::size_t open = well_formed ? layout.open : 0;

    static constexpr std::string_view block_end = "\n--\n\n";
    static constexpr std::array<char, size + block_end.size() + 1> doc_storage = [] {
        std::array<char, size + block_end.size() + 1> block{};
        for (std::size_t i = 0; i < size; ++i) block[i] = chars[i];
        for (std::size_t i = 0; i < block_end.size(); ++i) block[size + i] = block_end[i];
        return block;
    }();

    static constexpr std::array<char, open + 1> name_storage = [] {
        std::array<char, open + 1> name{};
        for (std::size_t i = 0; i < open; ++i) name[i] = chars[i];
        return name;
    }();

public:
    static constexpr std::string_view text{chars.data(), size};
    static constexpr const char* doc = doc_storage.data();
    static constexpr bool has_self = layout.has_self;
    static constexpr std::size_t arity = well_formed ? layout.arity : 0;
    static constexpr std::size_t positional = well_formed ? layout.positional : 0;

private:
    static constexpr std::array<detail::Span, arity> spans = detail::spans_of<arity>(chars, layout.first);
    static_assert(detail::distinct(chars, spans), "signature: parameter names are distinct");

public:
    static constexpr std::array<std::string_view, arity> params = [] {
        std::array<std::string_view, arity> names{};
        for (std::size_t k = 0; k < arity; ++k) names[k] = text.substr(spans[k].begin, spans[k].size);
        return names;
    }();

    // What each parameter is bound to when it is not given.
    static constexpr std::array<Default, arity> defaults = [] {
        std::array<Default, arity> given{};
        for (std::size_t k = 0; k < arity; ++k) given[k] = spans[k].given;
        return given;
    }();

    static constexpr std::string_view name{name_storage.data(), open};
    static constexpr const char* c_name = name_storage.data();
};

}  // namespace bind
