#include "jit/aarch64_enc.hpp"

#include <cstring>

#include "graph/error.hpp"

namespace vantu::a64 {

std::optional<FpImm> FpImm::from(double v) {
    std::uint64_t bits;
    std::memcpy(&bits, &v, sizeof bits);
    const std::uint64_t frac = bits & ((std::uint64_t{1} << 52) - 1);
    const std::uint32_t exp = static_cast<std::uint32_t>(bits >> 52) & 0x7ff;
    if ((frac & ((std::uint64_t{1} << 48) - 1)) != 0) return std::nullopt;
    // The exponent must read NOT(b), b x 8, c, d.
    const std::uint32_t b = (exp >> 8) & 1;
    if ((exp >> 10) != (b ^ 1u) || ((exp >> 2) & 0xff) != (b ? 0xffu : 0u)) return std::nullopt;
    const std::uint32_t sign = static_cast<std::uint32_t>(bits >> 63);
    return FpImm{sign << 7 | b << 6 | (exp & 3) << 4 | static_cast<std::uint32_t>(frac >> 48)};
}

void Asm::put(std::uint32_t w) {
    words.push_back(w);
    if (words.size() % 32 == 0) words.push_back(prfm_plil2keep(*PcOffset19::from(2048)));
}

namespace {

constexpr std::int64_t kFrameStep = 16;

PairOffset push_off() { return *PairOffset::from(-kFrameStep); }
PairOffset pop_off() { return *PairOffset::from(kFrameStep); }

}  // namespace

void emit_prologue(Asm& a, const std::vector<std::uint64_t>& cached_hosts) {
    check(cached_hosts.size() <= kCachedHosts, "at most seven cached host addresses");
    a.put(stp_x_pre(XReg{29}, XReg{30}, sp, push_off()));
    a.put(add_imm(XReg{29}, sp, *AddImm::from(0)));
    for (std::uint32_t r = 19; r < 29; r += 2) a.put(stp_x_pre(XReg{r}, XReg{r + 1}, sp, push_off()));
    for (std::uint32_t r = 8; r < 16; r += 2) a.put(stp_d_pre(DReg{r}, DReg{r + 1}, sp, push_off()));
    a.put(mov_reg(kWorkBase, XReg{0}));
    a.put(mov_reg(kInputBase, XReg{1}));
    a.put(mov_reg(kHostCtx, XReg{2}));
    for (std::size_t i = 0; i < cached_hosts.size(); ++i)
        emit_mov_imm(a, XReg{kFirstCachedHost + static_cast<std::uint32_t>(i)}, cached_hosts[i]);
    a.x9_high = -1;
}

void emit_epilogue(Asm& a) {
    for (std::uint32_t r = 14; r >= 8; r -= 2) a.put(ldp_d_post(DReg{r}, DReg{r + 1}, sp, pop_off()));
    for (std::uint32_t r = 27; r >= 19; r -= 2) a.put(ldp_x_post(XReg{r}, XReg{r + 1}, sp, pop_off()));
    a.put(ldp_x_post(XReg{29}, XReg{30}, sp, pop_off()));
    a.put(ret());
}

void emit_mov_imm(Asm& a, XReg d, std::uint64_t value) {
    bool first = true;
    for (std::uint32_t hw = 0; hw < 4; ++hw) {
        const std::uint64_t chunk = (value >> (16 * hw)) & 0xffff;
        if (chunk == 0) continue;
        const MoveChunk c = *MoveChunk::from(chunk, hw);
        a.put(first ? movz(d, c) : movk(d, c));
        first = false;
    }
    if (first) a.put(movz(d, *MoveChunk::from(0, 0)));
}

void emit_fconst(Asm& a, DReg d, double value) {
    std::uint64_t bits;
    std::memcpy(&bits, &value, sizeof bits);
    if (bits == 0) {
        a.put(fmov_from_x(d, xzr));
        return;
    }
    emit_mov_imm(a, kImmScratch, bits);
    a.put(fmov_from_x(d, kImmScratch));
}

namespace {

constexpr std::uint64_t kHighStep = 32768;

// Emits the access through one of the three addressing shapes; `is_load`
// picks ldr or str.
void emit_access(Asm& a, bool is_load, DReg t, XReg base, std::uint64_t offset) {
    check(offset % 8 == 0, "work and input offsets are whole values");
    if (auto off = LdStOffset::from(offset)) {
        a.put(is_load ? ldr_d(t, base, *off) : str_d(t, base, *off));
        return;
    }
    if (base.n == kWorkBase.n) {
        const std::uint64_t high = offset & ~(kHighStep - 1);
        if (a.x9_high != static_cast<std::int64_t>(high)) {
            if (auto imm = AddImm::from(high)) {
                a.put(add_imm(kHighBase, kWorkBase, *imm));
            } else {
                emit_mov_imm(a, kImmScratch, high);
                a.put(add_reg(kHighBase, kWorkBase, kImmScratch));
            }
            a.x9_high = static_cast<std::int64_t>(high);
        }
        const LdStOffset low = *LdStOffset::from(offset - high);
        a.put(is_load ? ldr_d(t, kHighBase, low) : str_d(t, kHighBase, low));
        return;
    }
    emit_mov_imm(a, kImmScratch, offset);
    a.put(is_load ? ldr_d_reg(t, base, kImmScratch) : str_d_reg(t, base, kImmScratch));
}

}  // namespace

void emit_load(Asm& a, DReg t, XReg base, std::uint64_t offset) { emit_access(a, true, t, base, offset); }

void emit_store(Asm& a, DReg t, XReg base, std::uint64_t offset) { emit_access(a, false, t, base, offset); }

void emit_address(Asm& a, XReg d, XReg base, std::uint64_t offset) {
    if (offset < 4096) {
        a.put(add_imm(d, base, *AddImm::from(offset)));
        return;
    }
    emit_mov_imm(a, kImmScratch, offset);
    a.put(add_reg(d, base, kImmScratch));
}

}  // namespace vantu::a64
