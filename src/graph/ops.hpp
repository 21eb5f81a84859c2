// The operation catalogue: every elementwise and reducing operation a traced
// expression can hold, named once. Each row gives the variant name (used by
// the tape listing), the text name (expression text and tracer method lookup)
// and the extern name (the function that implements it: `vantu_*` are the
// program's own definitions in semantics.cpp, the rest are C math functions).
// Everything else that needs per-operation data reads these tables.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace vantu {

// X(Variant, "text", "extern")
#define VANTU_REDUCE_OPS(X) \
    X(Sum, "sum", "")       \
    X(Product, "prod", "")  \
    X(Min, "min", "")       \
    X(Max, "max", "")

#define VANTU_UNARY_OPS(X)                      \
    X(Exp, "exp", "vantu_exp")                  \
    X(Ln, "ln", "vantu_ln")                     \
    X(Sqrt, "sqrt", "vantu_sqrt")               \
    X(Sin, "sin", "sin")                        \
    X(Cos, "cos", "cos")                        \
    X(Sinh, "sinh", "sinh")                     \
    X(Cosh, "cosh", "cosh")                     \
    X(Tanh, "tanh", "tanh")                     \
    X(Atan, "atan", "atan")                     \
    X(Floor, "floor", "floor")                  \
    X(Tan, "tan", "tan")                        \
    X(Log10, "log10", "log10")                  \
    X(Log2, "log2", "log2")                     \
    X(Log1p, "log1p", "log1p")                  \
    X(Expm1, "expm1", "expm1")                  \
    X(Cbrt, "cbrt", "cbrt")                     \
    X(Abs, "abs", "fabs")                       \
    X(Sign, "sign", "vantu_sign")               \
    X(Ceil, "ceil", "ceil")                     \
    X(Round, "round", "round")                  \
    X(Trunc, "trunc", "trunc")                  \
    X(Asin, "asin", "asin")                     \
    X(Acos, "acos", "acos")                     \
    X(Asinh, "asinh", "asinh")                  \
    X(Acosh, "acosh", "acosh")                  \
    X(Atanh, "atanh", "atanh")                  \
    X(Erf, "erf", "erf")                        \
    X(Erfc, "erfc", "erfc")                     \
    X(Lgamma, "lgamma", "lgamma")               \
    X(Tgamma, "tgamma", "tgamma")               \
    X(Digamma, "digamma", "vantu_digamma")      \
    X(Trigamma, "trigamma", "vantu_trigamma")   \
    X(RandUniform, "rand_uniform", "vantu_rand_uniform")

#define VANTU_BINARY_OPS(X)      \
    X(Powf, "powf", "pow")       \
    X(Mod, "mod", "fmod")        \
    X(Atan2, "atan2", "atan2")   \
    X(Hypot, "hypot", "hypot")

// X(Variant, "symbol")
#define VANTU_CMP_OPS(X) \
    X(Gt, ">")           \
    X(Ge, ">=")          \
    X(Lt, "<")           \
    X(Le, "<=")          \
    X(Eq, "==")          \
    X(Ne, "!=")

#define VANTU_ENUM_MEMBER(name, ...) name,

enum class ReduceOp : std::uint8_t { VANTU_REDUCE_OPS(VANTU_ENUM_MEMBER) };
enum class UnaryOp : std::uint8_t { VANTU_UNARY_OPS(VANTU_ENUM_MEMBER) };
enum class BinaryOp : std::uint8_t { VANTU_BINARY_OPS(VANTU_ENUM_MEMBER) };
enum class CmpOp : std::uint8_t { VANTU_CMP_OPS(VANTU_ENUM_MEMBER) };

#undef VANTU_ENUM_MEMBER

#define VANTU_COUNT_ONE(...) +1
inline constexpr int kReduceOps = 0 VANTU_REDUCE_OPS(VANTU_COUNT_ONE);
inline constexpr int kUnaryOps = 0 VANTU_UNARY_OPS(VANTU_COUNT_ONE);
inline constexpr int kBinaryOps = 0 VANTU_BINARY_OPS(VANTU_COUNT_ONE);
inline constexpr int kCmpOps = 0 VANTU_CMP_OPS(VANTU_COUNT_ONE);
#undef VANTU_COUNT_ONE

static_assert(kUnaryOps == 33 && kBinaryOps == 4 && kReduceOps == 4 && kCmpOps == 6);

// One row of the name tables: text name, extern name, operation code.
struct OpInfo {
    std::string_view text;
    std::string_view extern_name;
    std::uint8_t code;
};

// The 33 unary rows in code order, then the 4 binary rows in code order.
extern const OpInfo kUnaryTable[kUnaryOps];
extern const OpInfo kBinaryTable[kBinaryOps];

// Exact, case-sensitive lookup of a text name.
std::optional<UnaryOp> unary_by_name(std::string_view text);
std::optional<BinaryOp> binary_by_name(std::string_view text);

// Variant names (tape listing), text names (expression text).
std::string_view variant_name(ReduceOp op);
std::string_view variant_name(UnaryOp op);
std::string_view variant_name(BinaryOp op);
std::string_view variant_name(CmpOp op);
std::string_view text_name(ReduceOp op);
std::string_view text_name(UnaryOp op);
std::string_view text_name(BinaryOp op);
std::string_view cmp_symbol(CmpOp op);
std::string_view extern_name(UnaryOp op);
std::string_view extern_name(BinaryOp op);

}  // namespace vantu
