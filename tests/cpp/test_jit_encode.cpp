// AArch64 encoders: each row holds the call, the little-endian words it must
// produce and their assembly text, both taken from the GNU assembler and
// disassembler. The words are checked everywhere; where the AArch64
// disassembler is installed the texts are checked against it as well.
#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "jit/aarch64_enc.hpp"

using namespace vantu::a64;

namespace {

DReg D(std::uint32_t n) { return DReg{n}; }
XReg X(std::uint32_t n) { return XReg{n}; }

struct EncRow {
    std::function<void(Asm&)> emit;
    std::vector<std::uint32_t> words;
    const char* text;  // objdump's text, instructions joined by "; "
};

const std::vector<EncRow>& rows() {
    static const std::vector<EncRow> table = {
    {[](Asm& a) { a.put(fadd(D(1), D(2), D(3))); }, {0x1e632841}, "fadd d1, d2, d3"},
    {[](Asm& a) { a.put(fsub(D(0), D(31), D(17))); }, {0x1e713be0}, "fsub d0, d31, d17"},
    {[](Asm& a) { a.put(fmul(D(8), D(9), D(10))); }, {0x1e6a0928}, "fmul d8, d9, d10"},
    {[](Asm& a) { a.put(fdiv(D(31), D(31), D(31))); }, {0x1e7f1bff}, "fdiv d31, d31, d31"},
    {[](Asm& a) { a.put(fminnm(D(16), D(16), D(30))); }, {0x1e7e7a10}, "fminnm d16, d16, d30"},
    {[](Asm& a) { a.put(fmaxnm(D(5), D(6), D(7))); }, {0x1e6768c5}, "fmaxnm d5, d6, d7"},
    {[](Asm& a) { a.put(fmov(D(1), D(2))); }, {0x1e604041}, "fmov d1, d2"},
    {[](Asm& a) { a.put(fabs(D(3), D(4))); }, {0x1e60c083}, "fabs d3, d4"},
    {[](Asm& a) { a.put(fneg(D(5), D(31))); }, {0x1e6143e5}, "fneg d5, d31"},
    {[](Asm& a) { a.put(fsqrt(D(31), D(0))); }, {0x1e61c01f}, "fsqrt d31, d0"},
    {[](Asm& a) { a.put(frintm(D(8), D(9))); }, {0x1e654128}, "frintm d8, d9"},
    {[](Asm& a) { a.put(frintp(D(10), D(11))); }, {0x1e64c16a}, "frintp d10, d11"},
    {[](Asm& a) { a.put(frintz(D(12), D(13))); }, {0x1e65c1ac}, "frintz d12, d13"},
    {[](Asm& a) { a.put(fcmp(D(1), D(2))); }, {0x1e622020}, "fcmp d1, d2"},
    {[](Asm& a) { a.put(fcmp_zero(D(31))); }, {0x1e6023e8}, "fcmp d31, #0.0"},
    {[](Asm& a) { a.put(fcsel(D(1), D(2), D(3), Cond::ls)); }, {0x1e639c41}, "fcsel d1, d2, d3, ls"},
    {[](Asm& a) { a.put(fcsel(D(31), D(0), D(16), Cond::ne)); }, {0x1e701c1f}, "fcsel d31, d0, d16, ne"},
    {[](Asm& a) { a.put(fcsel(D(4), D(5), D(6), Cond::gt)); }, {0x1e66cca4}, "fcsel d4, d5, d6, gt"},
    {[](Asm& a) { a.put(fcsel(D(4), D(5), D(6), Cond::ge)); }, {0x1e66aca4}, "fcsel d4, d5, d6, ge"},
    {[](Asm& a) { a.put(fcsel(D(4), D(5), D(6), Cond::mi)); }, {0x1e664ca4}, "fcsel d4, d5, d6, mi"},
    {[](Asm& a) { a.put(fcsel(D(4), D(5), D(6), Cond::eq)); }, {0x1e660ca4}, "fcsel d4, d5, d6, eq"},
    {[](Asm& a) { a.put(fcsel(D(4), D(5), D(6), Cond::vs)); }, {0x1e666ca4}, "fcsel d4, d5, d6, vs"},
    {[](Asm& a) { a.put(fmov_imm(D(1), *FpImm::from(1.0))); }, {0x1e6e1001}, "fmov d1, #1.000000000000000000e+00"},
    {[](Asm& a) { a.put(fmov_imm(D(2), *FpImm::from(-1.0))); }, {0x1e7e1002}, "fmov d2, #-1.000000000000000000e+00"},
    {[](Asm& a) { a.put(fmov_imm(D(3), *FpImm::from(31.0))); }, {0x1e67f003}, "fmov d3, #3.100000000000000000e+01"},
    {[](Asm& a) { a.put(fmov_imm(D(4), *FpImm::from(0.125))); }, {0x1e681004}, "fmov d4, #1.250000000000000000e-01"},
    {[](Asm& a) { a.put(fmov_from_x(D(0), X(10))); }, {0x9e670140}, "fmov d0, x10"},
    {[](Asm& a) { a.put(fmov_from_x(D(31), xzr)); }, {0x9e6703ff}, "fmov d31, xzr"},
    {[](Asm& a) { a.put(movz(X(10), *MoveChunk::from(0x3ff0, 3))); }, {0xd2e7fe0a}, "mov x10, #0x3ff0000000000000"},
    {[](Asm& a) { a.put(movz(X(0), *MoveChunk::from(0, 0))); }, {0xd2800000}, "mov x0, #0x0"},
    {[](Asm& a) { a.put(movk(X(10), *MoveChunk::from(0xffff, 1))); }, {0xf2bfffea}, "movk x10, #0xffff, lsl #16"},
    {[](Asm& a) { a.put(movk(xzr, *MoveChunk::from(1, 2))); }, {0xf2c0003f}, "movk xzr, #0x1, lsl #32"},
    {[](Asm& a) { a.put(add_imm(X(9), X(19), *AddImm::from(0xfff000))); }, {0x917ffe69}, "add x9, x19, #0xfff, lsl #12"},
    {[](Asm& a) { a.put(add_imm(X(1), X(20), *AddImm::from(4095))); }, {0x913ffe81}, "add x1, x20, #0xfff"},
    {[](Asm& a) { a.put(add_imm(X(29), sp, *AddImm::from(0))); }, {0x910003fd}, "mov x29, sp"},
    {[](Asm& a) { a.put(add_imm(sp, X(0), *AddImm::from(16))); }, {0x9100401f}, "add sp, x0, #0x10"},
    {[](Asm& a) { a.put(add_reg(X(9), X(19), X(10))); }, {0x8b0a0269}, "add x9, x19, x10"},
    {[](Asm& a) { a.put(add_reg(X(0), X(19), xzr)); }, {0x8b1f0260}, "add x0, x19, xzr"},
    {[](Asm& a) { a.put(mov_reg(X(19), X(0))); }, {0xaa0003f3}, "mov x19, x0"},
    {[](Asm& a) { a.put(mov_reg(X(28), xzr)); }, {0xaa1f03fc}, "mov x28, xzr"},
    {[](Asm& a) { a.put(ldr_d(D(0), X(19), *LdStOffset::from(32760))); }, {0xfd7ffe60}, "ldr d0, [x19, #32760]"},
    {[](Asm& a) { a.put(ldr_d(D(31), sp, *LdStOffset::from(0))); }, {0xfd4003ff}, "ldr d31, [sp]"},
    {[](Asm& a) { a.put(str_d(D(8), X(9), *LdStOffset::from(7232))); }, {0xfd0e2128}, "str d8, [x9, #7232]"},
    {[](Asm& a) { a.put(str_d(D(16), X(20), *LdStOffset::from(8))); }, {0xfd000690}, "str d16, [x20, #8]"},
    {[](Asm& a) { a.put(ldr_d_reg(D(1), X(20), X(10))); }, {0xfc6a6a81}, "ldr d1, [x20, x10]"},
    {[](Asm& a) { a.put(str_d_reg(D(31), sp, X(0))); }, {0xfc206bff}, "str d31, [sp, x0]"},
    {[](Asm& a) { a.put(stp_x_pre(X(29), X(30), sp, *PairOffset::from(-16))); }, {0xa9bf7bfd}, "stp x29, x30, [sp, #-16]!"},
    {[](Asm& a) { a.put(stp_d_pre(D(8), D(9), sp, *PairOffset::from(-512))); }, {0x6da027e8}, "stp d8, d9, [sp, #-512]!"},
    {[](Asm& a) { a.put(ldp_x_post(X(29), X(30), sp, *PairOffset::from(16))); }, {0xa8c17bfd}, "ldp x29, x30, [sp], #16"},
    {[](Asm& a) { a.put(ldp_d_post(D(14), D(15), sp, *PairOffset::from(504))); }, {0x6cdfbfee}, "ldp d14, d15, [sp], #504"},
    {[](Asm& a) { a.put(blr(X(16))); }, {0xd63f0200}, "blr x16"},
    {[](Asm& a) { a.put(blr(X(22))); }, {0xd63f02c0}, "blr x22"},
    {[](Asm& a) { a.put(ret()); }, {0xd65f03c0}, "ret"},
    {[](Asm& a) { a.put(prfm_plil2keep(*PcOffset19::from(2048))); }, {0xd800400a}, "prfm plil2keep, .+2048"},
    {[](Asm& a) { a.put(prfm_plil2keep(*PcOffset19::from(-4))); }, {0xd8ffffea}, "prfm plil2keep, .-4"},
    {[](Asm& a) { emit_fconst(a, D(3), 0.0); }, {0x9e6703e3}, "fmov d3, xzr"},
    {[](Asm& a) { emit_fconst(a, D(3), 1.0); }, {0xd2e7fe0a, 0x9e670143}, "mov x10, #0x3ff0000000000000; fmov d3, x10"},
    {[](Asm& a) { emit_fconst(a, D(3), -0.0); }, {0xd2f0000a, 0x9e670143}, "mov x10, #0x8000000000000000; fmov d3, x10"},
    {[](Asm& a) { emit_fconst(a, D(17), 0.1); }, {0xd293334a, 0xf2b3332a, 0xf2d3332a, 0xf2e7f72a, 0x9e670151}, "mov x10, #0x999a; movk x10, #0x9999, lsl #16; movk x10, #0x9999, lsl #32; movk x10, #0x3fb9, lsl #48; fmov d17, x10"},
    {[](Asm& a) { emit_mov_imm(a, X(0), 0); }, {0xd2800000}, "mov x0, #0x0"},
    {[](Asm& a) { emit_mov_imm(a, X(16), 0x12340000); }, {0xd2a24690}, "mov x16, #0x12340000"},
    {[](Asm& a) { emit_mov_imm(a, X(22), 0xffff00000000abcdull); }, {0xd29579b6, 0xf2fffff6}, "mov x22, #0xabcd; movk x22, #0xffff, lsl #48"},
    {[](Asm& a) { emit_load(a, D(8), X(19), 32760); }, {0xfd7ffe68}, "ldr d8, [x19, #32760]"},
    {[](Asm& a) { emit_load(a, D(0), X(19), 40000); }, {0x91402269, 0xfd4e2120}, "add x9, x19, #0x8, lsl #12; ldr d0, [x9, #7232]"},
    {[](Asm& a) { emit_load(a, D(0), X(19), 40000); emit_store(a, D(1), X(19), 65528); emit_load(a, D(2), X(19), 65536); }, {0x91402269, 0xfd4e2120, 0xfd3ffd21, 0x91404269, 0xfd400122}, "add x9, x19, #0x8, lsl #12; ldr d0, [x9, #7232]; str d1, [x9, #32760]; add x9, x19, #0x10, lsl #12; ldr d2, [x9]"},
    {[](Asm& a) { emit_store(a, D(5), X(19), 19660808); }, {0xd2a0258a, 0x8b0a0269, 0xfd000525}, "mov x10, #0x12c0000; add x9, x19, x10; str d5, [x9, #8]"},
    {[](Asm& a) { emit_load(a, D(1), X(20), 40000); }, {0xd293880a, 0xfc6a6a81}, "mov x10, #0x9c40; ldr d1, [x20, x10]"},
    {[](Asm& a) { emit_store(a, D(1), X(20), 8); }, {0xfd000681}, "str d1, [x20, #8]"},
    {[](Asm& a) { emit_address(a, X(1), X(19), 4095); }, {0x913ffe61}, "add x1, x19, #0xfff"},
    {[](Asm& a) { emit_address(a, X(2), X(20), 4096); }, {0xd282000a, 0x8b0a0282}, "mov x10, #0x1000; add x2, x20, x10"},
    {[](Asm& a) { emit_prologue(a, {0x0000aaaabbbbccccull}); }, {0xa9bf7bfd, 0x910003fd, 0xa9bf53f3, 0xa9bf5bf5, 0xa9bf63f7, 0xa9bf6bf9, 0xa9bf73fb, 0x6dbf27e8, 0x6dbf2fea, 0x6dbf37ec, 0x6dbf3fee, 0xaa0003f3, 0xaa0103f4, 0xaa0203f5, 0xd2999996, 0xf2b77776, 0xf2d55556}, "stp x29, x30, [sp, #-16]!; mov x29, sp; stp x19, x20, [sp, #-16]!; stp x21, x22, [sp, #-16]!; stp x23, x24, [sp, #-16]!; stp x25, x26, [sp, #-16]!; stp x27, x28, [sp, #-16]!; stp d8, d9, [sp, #-16]!; stp d10, d11, [sp, #-16]!; stp d12, d13, [sp, #-16]!; stp d14, d15, [sp, #-16]!; mov x19, x0; mov x20, x1; mov x21, x2; mov x22, #0xcccc; movk x22, #0xbbbb, lsl #16; movk x22, #0xaaaa, lsl #32"},
    {[](Asm& a) { emit_epilogue(a); }, {0x6cc13fee, 0x6cc137ec, 0x6cc12fea, 0x6cc127e8, 0xa8c173fb, 0xa8c16bf9, 0xa8c163f7, 0xa8c15bf5, 0xa8c153f3, 0xa8c17bfd, 0xd65f03c0}, "ldp d14, d15, [sp], #16; ldp d12, d13, [sp], #16; ldp d10, d11, [sp], #16; ldp d8, d9, [sp], #16; ldp x27, x28, [sp], #16; ldp x25, x26, [sp], #16; ldp x23, x24, [sp], #16; ldp x21, x22, [sp], #16; ldp x19, x20, [sp], #16; ldp x29, x30, [sp], #16; ret"},
    };
    return table;
}

std::vector<std::uint32_t> emitted(const EncRow& row) {
    Asm a;
    row.emit(a);
    return a.words;
}

// objdump's instruction text without comments and symbols, with
// pc-relative targets written relative to the instruction (".+2048").
std::string canonical(std::string text, std::uint64_t addr) {
    for (char& c : text)
        if (c == '\t') c = ' ';
    if (auto at = text.find(" //"); at != std::string::npos) text.resize(at);
    if (auto at = text.find(" <"); at != std::string::npos) text.resize(at);
    while (!text.empty() && text.back() == ' ') text.pop_back();
    if (text.rfind("prfm ", 0) == 0) {
        if (auto at = text.find(", 0x"); at != std::string::npos) {
            long long rel = static_cast<long long>(std::stoull(text.substr(at + 4), nullptr, 16)) -
                            static_cast<long long>(addr);
            text = text.substr(0, at) + ", ." + (rel >= 0 ? "+" : "") + std::to_string(rel);
        }
    }
    return text;
}

// One disassembly line "  addr:<tab>word <tab>text": the address and the text.
bool parse_line(const std::string& line, std::uint64_t& addr, std::string& text) {
    auto colon = line.find(":\t");
    if (colon == std::string::npos || colon == 0) return false;
    std::string head = line.substr(0, colon);
    head.erase(0, head.find_first_not_of(' '));
    if (head.empty() || head.find_first_not_of("0123456789abcdef") != std::string::npos) return false;
    std::string rest = line.substr(colon + 2);
    if (rest.size() < 10 || rest.find_first_not_of("0123456789abcdef") != 8 || rest.compare(8, 2, " \t") != 0)
        return false;
    addr = std::stoull(head, nullptr, 16);
    text = rest.substr(10);
    return true;
}

}  // namespace

TEST(Encode, WordsMatchTheAssembler) {
    for (const EncRow& row : rows()) {
        std::vector<std::uint32_t> got = emitted(row);
        ASSERT_EQ(got.size(), row.words.size()) << row.text;
        for (std::size_t i = 0; i < got.size(); ++i)
            EXPECT_EQ(got[i], row.words[i]) << row.text << " word " << i << std::hex << ": 0x" << got[i];
    }
}

TEST(Encode, TextsMatchTheDisassembler) {
    if (std::system("command -v aarch64-linux-gnu-objdump >/dev/null 2>&1") != 0)
        GTEST_SKIP() << "aarch64-linux-gnu-objdump not installed (binutils-aarch64-linux-gnu)";
    std::string path = ::testing::TempDir() + "vantu_encode_rows.bin";
    std::vector<std::uint32_t> all;
    for (const EncRow& row : rows()) {
        std::vector<std::uint32_t> w = emitted(row);
        all.insert(all.end(), w.begin(), w.end());
    }
    {
        FILE* f = std::fopen(path.c_str(), "wb");
        ASSERT_NE(f, nullptr);
        // Words are stored little-endian as the architecture reads them.
        for (std::uint32_t w : all) {
            unsigned char b[4] = {static_cast<unsigned char>(w), static_cast<unsigned char>(w >> 8),
                                  static_cast<unsigned char>(w >> 16), static_cast<unsigned char>(w >> 24)};
            std::fwrite(b, 1, 4, f);
        }
        std::fclose(f);
    }
    std::string cmd = "aarch64-linux-gnu-objdump -D -b binary -m aarch64 " + path + " 2>/dev/null";
    FILE* p = popen(cmd.c_str(), "r");
    ASSERT_NE(p, nullptr);
    std::vector<std::string> texts;
    char buf[512];
    while (std::fgets(buf, sizeof buf, p)) {
        std::string s(buf), text;
        if (!s.empty() && s.back() == '\n') s.pop_back();
        std::uint64_t addr = 0;
        if (parse_line(s, addr, text)) texts.push_back(canonical(text, addr));
    }
    pclose(p);
    if (texts.empty()) GTEST_SKIP() << "the disassembler could not be run here";
    ASSERT_EQ(texts.size(), all.size());
    std::size_t at = 0;
    for (const EncRow& row : rows()) {
        std::string joined;
        for (std::size_t i = 0; i < row.words.size(); ++i) joined += (i ? "; " : "") + texts[at++];
        EXPECT_EQ(joined, row.text);
    }
}

TEST(Encode, ImmediatesThatDoNotFitAreRefused) {
    EXPECT_FALSE(AddImm::from(4097));
    EXPECT_FALSE(AddImm::from(0x1000000));
    EXPECT_TRUE(AddImm::from(0xfff000));
    EXPECT_FALSE(LdStOffset::from(32768));
    EXPECT_FALSE(LdStOffset::from(12));
    EXPECT_FALSE(PairOffset::from(-520));
    EXPECT_FALSE(PairOffset::from(512));
    EXPECT_FALSE(PcOffset19::from(2));
    EXPECT_FALSE(PcOffset19::from(1 << 20));
    EXPECT_FALSE(MoveChunk::from(0x10000, 0));
    EXPECT_FALSE(MoveChunk::from(1, 4));
    for (double v : {0.0, 0.1, 32.0, 0.0625, 1e300, -0.0}) EXPECT_FALSE(FpImm::from(v)) << v;
}

// Every word that makes the buffer a multiple of 32 words long is followed
// by the prefetch word, so prefetches sit at word 32, 64, 96, ...
TEST(Encode, PrefetchEvery32Words) {
    Asm a;
    for (int i = 0; i < 100; ++i) a.put(fadd(D(1), D(2), D(3)));
    ASSERT_EQ(a.words.size(), 103u);
    for (std::size_t i = 0; i < a.words.size(); ++i)
        EXPECT_EQ(a.words[i], (i == 32 || i == 64 || i == 96) ? 0xd800400au : 0x1e632841u) << i;
}
