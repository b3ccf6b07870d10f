// What bench_line's emulated line does to the bytes it carries: bit flips,
// error bursts, dropped and inserted bytes, all drawn from one seeded stream
// by byte count, so the same bytes meet the same damage whatever the timing.
#pragma once

#include <cstdint>
#include <random>
#include <string>

namespace line {

// Chances of each kind of damage; 0 turns a kind off.
struct DamageParams {
    double ber = 0;         // per data bit: flipped
    size_t burst = 0;       // bytes randomised by one burst
    double burst_rate = 0;  // per byte: a burst starts there
    double drop = 0;        // per byte: lost
    double insert = 0;      // per byte: a random byte follows it
};

struct DamageCounts {
    uint64_t flipped = 0, bursts = 0, dropped = 0, inserted = 0;
};

// Where the next event of chance P per trial falls, counted in trials; with
// P = 0 it never comes.
class Gaps {
  public:
    Gaps(double p, std::mt19937_64 &rng) : p_(p), rng_(rng) { next_ = draw(0); }
    // True when trial I is an event; trials must be asked in order from 0.
    bool hit(uint64_t i) {
        if (i != next_) return false;
        next_ = draw(i + 1);
        return true;
    }

  private:
    uint64_t draw(uint64_t from) {
        if (p_ <= 0) return UINT64_MAX;
        return from + std::geometric_distribution<uint64_t>(p_)(rng_);
    }
    double p_;
    std::mt19937_64 &rng_;
    uint64_t next_;
};

class Damage {
  public:
    Damage(const DamageParams &p, uint64_t seed)
        : p_(p),
          rng_(seed),
          flips_(p.ber, rng_),
          drops_(p.drop, rng_),
          inserts_(p.insert, rng_),
          bursts_(p.burst > 0 ? p.burst_rate : 0, rng_) {}

    // True when no damage is configured and bytes pass untouched.
    bool clean() const {
        return p_.ber <= 0 && p_.drop <= 0 && p_.insert <= 0 &&
               (p_.burst == 0 || p_.burst_rate <= 0);
    }

    // Appends to OUT what the line makes of the next byte C: nothing, C as
    // damaged, or that and an inserted byte.
    void apply(unsigned char c, std::string &out) {
        constexpr uint64_t kDataBits = 8;  // 8N1: only the data bits reach the reader
        uint64_t i = index_++;
        bool drop = drops_.hit(i), insert = inserts_.hit(i);
        if (bursts_.hit(i)) {
            counts_.bursts++;
            burst_left_ = p_.burst;
        }
        if (burst_left_ > 0) {
            burst_left_--;
            c = (unsigned char)rng_();
        }
        for (uint64_t b = i * kDataBits; b < (i + 1) * kDataBits; b++)
            if (flips_.hit(b)) {
                c ^= (unsigned char)(1u << (b - i * kDataBits));
                counts_.flipped++;
            }
        if (drop)
            counts_.dropped++;
        else
            out.push_back(char(c));
        if (insert) {
            counts_.inserted++;
            out.push_back(char(rng_()));
        }
    }

    const DamageCounts &counts() const { return counts_; }

  private:
    DamageParams p_;
    std::mt19937_64 rng_;
    Gaps flips_, drops_, inserts_, bursts_;
    uint64_t index_ = 0;  // bytes seen so far
    size_t burst_left_ = 0;
    DamageCounts counts_;
};

}  // namespace line
