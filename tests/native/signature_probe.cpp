// Well-formed signatures, read at compile time; the program prints what the
// binding hands to CPython at run time.
#include <cstdio>
#include <string_view>

#include "signature.hpp"

using bind::Signature;

using Method = Signature<"project_onto_line($self, line_r, line_q)">;
static_assert(Method::has_self && Method::arity == 2);
static_assert(Method::params[0] == "line_r" && Method::params[1] == "line_q");
static_assert(Method::name == "project_onto_line");

using NoParameters = Signature<"magnitude($self)">;
static_assert(NoParameters::has_self && NoParameters::arity == 0);

using Static = Signature<"new_from_to(from, to)">;
static_assert(!Static::has_self && Static::arity == 2 && Static::params[0] == "from" && Static::params[1] == "to");

using Nothing = Signature<"zero()">;
static_assert(!Nothing::has_self && Nothing::arity == 0 && Nothing::name == "zero");

using Constructor = Signature<"Vec3d(x, y, z)">;
static_assert(Constructor::arity == 3 && Constructor::params[2] == "z");

using Underscores = Signature<"_private_2($self, a_1, _b)">;
static_assert(Underscores::arity == 2 && Underscores::params[0] == "a_1" && Underscores::params[1] == "_b");

using KeywordOnly = Signature<"dot($self, other, *, out=None)">;
static_assert(KeywordOnly::arity == 2 && KeywordOnly::positional == 1);
static_assert(KeywordOnly::params[0] == "other" && KeywordOnly::params[1] == "out");
using bind::Default;
static_assert(KeywordOnly::defaults[0] == Default::kRequired && KeywordOnly::defaults[1] == Default::kNone);

using OnlyKeywords = Signature<"magnitude($self, *, out=None, scale)">;
static_assert(OnlyKeywords::arity == 2 && OnlyKeywords::positional == 0 && OnlyKeywords::params[1] == "scale");
static_assert(OnlyKeywords::defaults[0] == Default::kNone && OnlyKeywords::defaults[1] == Default::kRequired);

using Defaults = Signature<"f(a, b=None, c=None)">;
static_assert(Defaults::arity == 3 && Defaults::positional == 3 && Defaults::defaults[0] == Default::kRequired &&
              Defaults::defaults[2] == Default::kNone);
static_assert(Method::positional == 2 && Method::defaults[0] == Default::kRequired &&
              Method::defaults[1] == Default::kRequired);

using Flags = Signature<"f($self, k, *, wide=True, tight=False, out=None)">;
static_assert(Flags::positional == 1 && Flags::defaults[1] == Default::kTrue && Flags::defaults[2] == Default::kFalse &&
              Flags::defaults[3] == Default::kNone);

int main() {
    std::printf("%s|%s|%s|%s|%s\n", Method::c_name, Method::doc, Nothing::c_name, Nothing::doc, KeywordOnly::doc);
    return 0;
}
