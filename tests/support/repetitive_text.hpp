#pragma once

#include <cstddef>
#include <random>
#include <string>

// `length` bytes drawn from the first `letters` letters: text that repeats a lot, where matches and
// common runs are many.
inline std::string repetitive_text(std::mt19937& rng, std::size_t length, unsigned letters) {
    std::string out(length, 'a');
    for (auto& c : out) {
        c = static_cast<char>('a' + rng() % letters);
    }
    return out;
}
