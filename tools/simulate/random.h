#pragma once
// The simulator's random numbers: xoshiro256** seeded through splitmix64,
// and standard normals by Marsaglia's polar method.
//
// Written out rather than taken from <random> because the standard leaves
// the normal distribution's algorithm to the library, and the same seed must
// give the same files wherever the simulator is built.
#include <cmath>
#include <cstdint>

namespace kova::simulate {

class Rng {
 public:
  // One independent stream per (seed, stream) pair; the simulator gives
  // every group its own stream so that a group's draws do not depend on how
  // the groups' records are ordered in the files.
  Rng(std::uint64_t seed, std::uint64_t stream) {
    std::uint64_t x = seed ^ (0xD1B54A32D192ED03ULL * (stream + 1));
    for (auto& word : s_) word = splitmix(x);
  }

  std::uint64_t next() {
    const std::uint64_t result = rotl(s_[1] * 5, 7) * 9;
    const std::uint64_t t = s_[1] << 17;
    s_[2] ^= s_[0];
    s_[3] ^= s_[1];
    s_[1] ^= s_[2];
    s_[0] ^= s_[3];
    s_[2] ^= t;
    s_[3] = rotl(s_[3], 45);
    return result;
  }

  // Uniform on (-1, 1), 53 random bits.
  double symmetric() { return ((next() >> 11) * 0x1.0p-53) * 2.0 - 1.0; }

  double normal() {
    if (haveSpare_) {
      haveSpare_ = false;
      return spare_;
    }
    double u, v, s;
    do {
      u = symmetric();
      v = symmetric();
      s = u * u + v * v;
    } while (s >= 1.0 || s == 0.0);
    double f = std::sqrt(-2.0 * std::log(s) / s);
    spare_ = v * f;
    haveSpare_ = true;
    return u * f;
  }

 private:
  static std::uint64_t rotl(std::uint64_t x, int k) { return (x << k) | (x >> (64 - k)); }
  static std::uint64_t splitmix(std::uint64_t& x) {
    std::uint64_t z = (x += 0x9E3779B97F4A7C15ULL);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ULL;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBULL;
    return z ^ (z >> 31);
  }
  std::uint64_t s_[4];
  double spare_ = 0.0;
  bool haveSpare_ = false;
};

}  // namespace kova::simulate
