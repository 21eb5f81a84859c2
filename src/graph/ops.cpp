#include "graph/ops.hpp"

namespace vantu {

namespace {

#define VANTU_VARIANT(name, ...) #name,
constexpr std::string_view kReduceVariants[] = {VANTU_REDUCE_OPS(VANTU_VARIANT)};
constexpr std::string_view kUnaryVariants[] = {VANTU_UNARY_OPS(VANTU_VARIANT)};
constexpr std::string_view kBinaryVariants[] = {VANTU_BINARY_OPS(VANTU_VARIANT)};
constexpr std::string_view kCmpVariants[] = {VANTU_CMP_OPS(VANTU_VARIANT)};
#undef VANTU_VARIANT

#define VANTU_SECOND(name, second, ...) second,
constexpr std::string_view kReduceTexts[] = {VANTU_REDUCE_OPS(VANTU_SECOND)};
constexpr std::string_view kCmpSymbols[] = {VANTU_CMP_OPS(VANTU_SECOND)};
#undef VANTU_SECOND

}  // namespace

#define VANTU_UNARY_ROW(name, text, ext) {text, ext, static_cast<std::uint8_t>(UnaryOp::name)},
const OpInfo kUnaryTable[kUnaryOps] = {VANTU_UNARY_OPS(VANTU_UNARY_ROW)};
#undef VANTU_UNARY_ROW

#define VANTU_BINARY_ROW(name, text, ext) {text, ext, static_cast<std::uint8_t>(BinaryOp::name)},
const OpInfo kBinaryTable[kBinaryOps] = {VANTU_BINARY_OPS(VANTU_BINARY_ROW)};
#undef VANTU_BINARY_ROW

std::optional<UnaryOp> unary_by_name(std::string_view text) {
    for (const OpInfo& row : kUnaryTable)
        if (row.text == text) return static_cast<UnaryOp>(row.code);
    return std::nullopt;
}

std::optional<BinaryOp> binary_by_name(std::string_view text) {
    for (const OpInfo& row : kBinaryTable)
        if (row.text == text) return static_cast<BinaryOp>(row.code);
    return std::nullopt;
}

std::string_view variant_name(ReduceOp op) { return kReduceVariants[static_cast<int>(op) & 3]; }
std::string_view variant_name(UnaryOp op) { return kUnaryVariants[static_cast<int>(op) % kUnaryOps]; }
std::string_view variant_name(BinaryOp op) { return kBinaryVariants[static_cast<int>(op) & 3]; }
std::string_view variant_name(CmpOp op) { return kCmpVariants[static_cast<int>(op) % kCmpOps]; }
std::string_view text_name(ReduceOp op) { return kReduceTexts[static_cast<int>(op) & 3]; }
std::string_view text_name(UnaryOp op) { return kUnaryTable[static_cast<int>(op) % kUnaryOps].text; }
std::string_view text_name(BinaryOp op) { return kBinaryTable[static_cast<int>(op) & 3].text; }
std::string_view cmp_symbol(CmpOp op) { return kCmpSymbols[static_cast<int>(op) % kCmpOps]; }
std::string_view extern_name(UnaryOp op) { return kUnaryTable[static_cast<int>(op) % kUnaryOps].extern_name; }
std::string_view extern_name(BinaryOp op) { return kBinaryTable[static_cast<int>(op) & 3].extern_name; }

}  // namespace vantu
