// AArch64 instruction encoders. One small function per encoding form, with
// the opcode bits written in binary and a separator at every field boundary,
// then mnemonic wrappers that fill in a form. Immediates that may not fit
// are types with a fallible constructor (`from`), so an encoder never sees a
// value out of range. Only the forms the code generator needs are here; no
// form that fuses a multiply with an add exists, so none can be emitted.
//
// Register 31 means sp in the address and add-immediate forms and xzr in the
// register forms, as the architecture defines it; the wrappers say which.
#pragma once

#include <cstdint>
#include <optional>
#include <vector>

namespace vantu::a64 {

struct XReg {
    std::uint32_t n;
};
struct DReg {
    std::uint32_t n;
};
inline constexpr XReg sp{31};
inline constexpr XReg xzr{31};

// Condition codes; after fcmp an unordered result sets C and V, so gt, ge,
// mi, ls and eq are false for NaN and ne is true.
enum class Cond : std::uint32_t {
    eq = 0b0000, ne = 0b0001, hs = 0b0010, lo = 0b0011, mi = 0b0100, pl = 0b0101, vs = 0b0110,
    vc = 0b0111, hi = 0b1000, ls = 0b1001, ge = 0b1010, lt = 0b1011, gt = 0b1100, le = 0b1101,
};

// -- Immediates ---------------------------------------------------------------

// The 12-bit unsigned immediate of add, optionally shifted left by 12.
struct AddImm {
    std::uint32_t imm12;
    std::uint32_t sh;  // 1: shifted by 12
    static std::optional<AddImm> from(std::uint64_t v) {
        if (v < 4096) return AddImm{static_cast<std::uint32_t>(v), 0};
        if ((v & 0xfff) == 0 && (v >> 12) < 4096) return AddImm{static_cast<std::uint32_t>(v >> 12), 1};
        return std::nullopt;
    }
};

// The unsigned byte offset of a 64-bit load or store, scaled by 8: 0 .. 32760.
struct LdStOffset {
    std::uint32_t imm12;
    static std::optional<LdStOffset> from(std::uint64_t bytes) {
        if (bytes % 8 != 0 || bytes / 8 >= 4096) return std::nullopt;
        return LdStOffset{static_cast<std::uint32_t>(bytes / 8)};
    }
};

// The signed byte offset of a 64-bit pair access, scaled by 8: -512 .. 504.
struct PairOffset {
    std::uint32_t imm7;
    static std::optional<PairOffset> from(std::int64_t bytes) {
        if (bytes % 8 != 0 || bytes < -512 || bytes > 504) return std::nullopt;
        return PairOffset{static_cast<std::uint32_t>(bytes / 8) & 0x7f};
    }
};

// A word offset from the instruction's own address: -1 MiB .. 1 MiB - 4.
struct PcOffset19 {
    std::uint32_t imm19;
    static std::optional<PcOffset19> from(std::int64_t bytes) {
        if (bytes % 4 != 0 || bytes < -(1 << 20) || bytes >= (1 << 20)) return std::nullopt;
        return PcOffset19{static_cast<std::uint32_t>(bytes / 4) & 0x7ffff};
    }
};

// One 16-bit chunk of a move-wide, at chunk position hw (shift 16 * hw).
struct MoveChunk {
    std::uint32_t imm16;
    std::uint32_t hw;
    static std::optional<MoveChunk> from(std::uint64_t imm16, std::uint32_t hw) {
        if (imm16 > 0xffff || hw > 3) return std::nullopt;
        return MoveChunk{static_cast<std::uint32_t>(imm16), hw};
    }
};

// The 8-bit floating-point immediate of fmov: +-(16 + m) / 16 * 2^e for
// m in 0 .. 15 and e in -3 .. 4.
struct FpImm {
    std::uint32_t imm8;
    static std::optional<FpImm> from(double v);
};

// -- Encoding forms -----------------------------------------------------------

// Floating-point data processing, two sources, double precision.
inline std::uint32_t enc_fp_dp2(std::uint32_t opcode, DReg rm, DReg rn, DReg rd) {
    return 0b000'11110'01'1'00000'0000'10'00000'00000 | rm.n << 16 | opcode << 12 | rn.n << 5 | rd.n;
}

// Floating-point data processing, one source, double precision.
inline std::uint32_t enc_fp_dp1(std::uint32_t opcode, DReg rn, DReg rd) {
    return 0b000'11110'01'1'000000'10000'00000'00000 | opcode << 15 | rn.n << 5 | rd.n;
}

// Floating-point compare, double precision; opc 0b01000 compares with #0.0
// (then rm is 0).
inline std::uint32_t enc_fp_cmp(DReg rm, DReg rn, std::uint32_t opc) {
    return 0b000'11110'01'1'00000'00'1000'00000'00000 | rm.n << 16 | rn.n << 5 | opc;
}

// Floating-point conditional select, double precision.
inline std::uint32_t enc_fp_csel(DReg rm, Cond cond, DReg rn, DReg rd) {
    return 0b000'11110'01'1'00000'0000'11'00000'00000 | rm.n << 16 | static_cast<std::uint32_t>(cond) << 12 |
           rn.n << 5 | rd.n;
}

// Floating-point move of an 8-bit immediate, double precision.
inline std::uint32_t enc_fp_imm(FpImm imm, DReg rd) {
    return 0b000'11110'01'1'00000000'100'00000'00000 | imm.imm8 << 13 | rd.n;
}

// Conversion between general and floating-point registers, 64-bit general
// register, double precision (sf = 1, type = 01).
inline std::uint32_t enc_fp_int(std::uint32_t rmode, std::uint32_t opcode, std::uint32_t rn, std::uint32_t rd) {
    return 0b1'0'0'11110'01'1'00'000'000000'00000'00000 | rmode << 19 | opcode << 16 | rn << 5 | rd;
}

// Move wide immediate, 64-bit (opc 0b10 movz, 0b11 movk).
inline std::uint32_t enc_move_wide(std::uint32_t opc, MoveChunk imm, XReg rd) {
    return 0b1'00'100101'00'0000000000000000'00000 | opc << 29 | imm.hw << 21 | imm.imm16 << 5 | rd.n;
}

// Add immediate, 64-bit; rn and rd may be sp.
inline std::uint32_t enc_add_imm(AddImm imm, XReg rn, XReg rd) {
    return 0b1'0'0'100010'0'000000000000'00000'00000 | imm.sh << 22 | imm.imm12 << 10 | rn.n << 5 | rd.n;
}

// Add shifted register, 64-bit, shift LSL #0; register 31 is xzr.
inline std::uint32_t enc_add_reg(XReg rm, XReg rn, XReg rd) {
    return 0b1'0'0'01011'00'0'00000'000000'00000'00000 | rm.n << 16 | rn.n << 5 | rd.n;
}

// Logical shifted register, 64-bit, shift LSL #0 (opc 0b01 orr); register
// 31 is xzr.
inline std::uint32_t enc_logical_reg(std::uint32_t opc, XReg rm, XReg rn, XReg rd) {
    return 0b1'00'01010'00'0'00000'000000'00000'00000 | opc << 29 | rm.n << 16 | rn.n << 5 | rd.n;
}

// Load or store of a d register, unsigned scaled offset (opc 0b00 str,
// 0b01 ldr); rn may be sp.
inline std::uint32_t enc_ldst_d_uimm(std::uint32_t opc, LdStOffset off, XReg rn, DReg rt) {
    return 0b11'111'1'01'00'000000000000'00000'00000 | opc << 22 | off.imm12 << 10 | rn.n << 5 | rt.n;
}

// Load or store of a d register, register offset [rn, rm] with option LSL
// and no scaling; rn may be sp, rm is a general register.
inline std::uint32_t enc_ldst_d_reg(std::uint32_t opc, XReg rm, XReg rn, DReg rt) {
    return 0b11'111'1'00'00'1'00000'011'0'10'00000'00000 | opc << 22 | rm.n << 16 | rn.n << 5 | rt.n;
}

// Load or store pair, 64-bit registers: opc 0b10 for x and 0b01 for d
// (with v = 1); mode 0b011 pre-index, 0b001 post-index; l = 1 loads.
inline std::uint32_t enc_ldst_pair(std::uint32_t opc, std::uint32_t v, std::uint32_t mode, std::uint32_t l,
                                   PairOffset off, std::uint32_t rt2, XReg rn, std::uint32_t rt) {
    return 0b00'101'0'000'0'0000000'00000'00000'00000 | opc << 30 | v << 26 | mode << 23 | l << 22 |
           off.imm7 << 15 | rt2 << 10 | rn.n << 5 | rt;
}

// Unconditional branch to register (opc 0b0001 blr, 0b0010 ret).
inline std::uint32_t enc_branch_reg(std::uint32_t opc, XReg rn) {
    return 0b1101011'0000'11111'000000'00000'00000 | opc << 21 | rn.n << 5;
}

// Prefetch from a pc-relative literal address; rt names the prefetch
// operation (type, target, policy).
inline std::uint32_t enc_prfm_lit(PcOffset19 off, std::uint32_t rt) {
    return 0b11'011'0'00'0000000000000000000'00000 | off.imm19 << 5 | rt;
}

// -- Mnemonics ----------------------------------------------------------------

inline std::uint32_t fmul(DReg d, DReg n, DReg m) { return enc_fp_dp2(0b0000, m, n, d); }
inline std::uint32_t fdiv(DReg d, DReg n, DReg m) { return enc_fp_dp2(0b0001, m, n, d); }
inline std::uint32_t fadd(DReg d, DReg n, DReg m) { return enc_fp_dp2(0b0010, m, n, d); }
inline std::uint32_t fsub(DReg d, DReg n, DReg m) { return enc_fp_dp2(0b0011, m, n, d); }
inline std::uint32_t fmaxnm(DReg d, DReg n, DReg m) { return enc_fp_dp2(0b0110, m, n, d); }
inline std::uint32_t fminnm(DReg d, DReg n, DReg m) { return enc_fp_dp2(0b0111, m, n, d); }

inline std::uint32_t fmov(DReg d, DReg n) { return enc_fp_dp1(0b000000, n, d); }
inline std::uint32_t fabs(DReg d, DReg n) { return enc_fp_dp1(0b000001, n, d); }
inline std::uint32_t fneg(DReg d, DReg n) { return enc_fp_dp1(0b000010, n, d); }
inline std::uint32_t fsqrt(DReg d, DReg n) { return enc_fp_dp1(0b000011, n, d); }
inline std::uint32_t frintp(DReg d, DReg n) { return enc_fp_dp1(0b001001, n, d); }
inline std::uint32_t frintm(DReg d, DReg n) { return enc_fp_dp1(0b001010, n, d); }
inline std::uint32_t frintz(DReg d, DReg n) { return enc_fp_dp1(0b001011, n, d); }

inline std::uint32_t fcmp(DReg n, DReg m) { return enc_fp_cmp(m, n, 0b00000); }
inline std::uint32_t fcmp_zero(DReg n) { return enc_fp_cmp(DReg{0}, n, 0b01000); }
inline std::uint32_t fcsel(DReg d, DReg n, DReg m, Cond c) { return enc_fp_csel(m, c, n, d); }
inline std::uint32_t fmov_imm(DReg d, FpImm imm) { return enc_fp_imm(imm, d); }
// fmov dd, xn (xn = 31 is xzr).
inline std::uint32_t fmov_from_x(DReg d, XReg n) { return enc_fp_int(0b00, 0b111, n.n, d.n); }

inline std::uint32_t movz(XReg d, MoveChunk c) { return enc_move_wide(0b10, c, d); }
inline std::uint32_t movk(XReg d, MoveChunk c) { return enc_move_wide(0b11, c, d); }
// add xd|sp, xn|sp, #imm
inline std::uint32_t add_imm(XReg d, XReg n, AddImm imm) { return enc_add_imm(imm, n, d); }
// add xd, xn, xm
inline std::uint32_t add_reg(XReg d, XReg n, XReg m) { return enc_add_reg(m, n, d); }
// mov xd, xm (orr xd, xzr, xm); for sp use add_imm with #0.
inline std::uint32_t mov_reg(XReg d, XReg m) { return enc_logical_reg(0b01, m, xzr, d); }

// ldr / str dt, [xn|sp, #offset]
inline std::uint32_t ldr_d(DReg t, XReg n, LdStOffset off) { return enc_ldst_d_uimm(0b01, off, n, t); }
inline std::uint32_t str_d(DReg t, XReg n, LdStOffset off) { return enc_ldst_d_uimm(0b00, off, n, t); }
// ldr / str dt, [xn|sp, xm]
inline std::uint32_t ldr_d_reg(DReg t, XReg n, XReg m) { return enc_ldst_d_reg(0b01, m, n, t); }
inline std::uint32_t str_d_reg(DReg t, XReg n, XReg m) { return enc_ldst_d_reg(0b00, m, n, t); }

// stp ... [xn|sp, #off]!  and  ldp ... [xn|sp], #off
inline std::uint32_t stp_x_pre(XReg t1, XReg t2, XReg n, PairOffset off) {
    return enc_ldst_pair(0b10, 0, 0b011, 0, off, t2.n, n, t1.n);
}
inline std::uint32_t ldp_x_post(XReg t1, XReg t2, XReg n, PairOffset off) {
    return enc_ldst_pair(0b10, 0, 0b001, 1, off, t2.n, n, t1.n);
}
inline std::uint32_t stp_d_pre(DReg t1, DReg t2, XReg n, PairOffset off) {
    return enc_ldst_pair(0b01, 1, 0b011, 0, off, t2.n, n, t1.n);
}
inline std::uint32_t ldp_d_post(DReg t1, DReg t2, XReg n, PairOffset off) {
    return enc_ldst_pair(0b01, 1, 0b001, 1, off, t2.n, n, t1.n);
}

inline std::uint32_t blr(XReg n) { return enc_branch_reg(0b0001, n); }
inline std::uint32_t ret() { return enc_branch_reg(0b0010, XReg{30}); }

// prfm plil2keep, [pc, #offset]: instruction prefetch into level 2, retained.
inline std::uint32_t prfm_plil2keep(PcOffset19 off) { return enc_prfm_lit(off, 0b01'01'0); }

// -- Sequences ----------------------------------------------------------------

// A growing buffer of instruction words. Every time a word makes the length
// a multiple of 32 words, an instruction prefetch 2048 bytes ahead follows,
// so that long straight-line code streams into the instruction cache.
struct Asm {
    std::vector<std::uint32_t> words;
    // x9 holds x19 + x9_high while x9_high >= 0 (see emit_load); calls and
    // segment starts forget it.
    std::int64_t x9_high = -1;

    Asm() { words.reserve(16384 / 4); }
    void put(std::uint32_t w);
};

// Register conventions of generated code.
inline constexpr XReg kWorkBase{19};
inline constexpr XReg kInputBase{20};
inline constexpr XReg kHostCtx{21};
inline constexpr std::uint32_t kFirstCachedHost = 22;  // x22 .. x28
inline constexpr std::uint32_t kCachedHosts = 7;
inline constexpr XReg kHighBase{9};
inline constexpr XReg kImmScratch{10};
inline constexpr XReg kCallTarget{16};

// Saves x29/x30, x19 .. x28 and d8 .. d15, sets the frame pointer, copies
// the three arguments into x19, x20, x21 and moves each cached host
// address into x22, x23, ... (at most seven).
void emit_prologue(Asm& a, const std::vector<std::uint64_t>& cached_hosts);
// Restores what the prologue saved, in reverse order, and returns.
void emit_epilogue(Asm& a);
// movz for the lowest non-zero 16-bit chunk, movk for each further non-zero
// chunk, lowest first; zero is movz #0.
void emit_mov_imm(Asm& a, XReg d, std::uint64_t value);
// fmov dd, xzr for +0.0; otherwise the bit pattern through x10.
void emit_fconst(Asm& a, DReg d, double value);
// ldr / str dt at a byte offset from `base`: one instruction up to 32760;
// beyond that, from x19 through x9 = x19 + (offset rounded down to 32768),
// reused while consecutive accesses share it; from another base through
// x10 as a register offset.
void emit_load(Asm& a, DReg t, XReg base, std::uint64_t offset);
void emit_store(Asm& a, DReg t, XReg base, std::uint64_t offset);
// xd = base + offset: add immediate up to 4095, else through x10.
void emit_address(Asm& a, XReg d, XReg base, std::uint64_t offset);

}  // namespace vantu::a64
