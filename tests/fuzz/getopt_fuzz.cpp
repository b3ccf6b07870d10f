// Fuzz harness: the option scanner.  The input is NUL-separated words: the
// first is the option letters, the rest the argument vector.  Each vector is
// scanned, freed, and then a second one scanned with vesk_optind reset, as a
// program that parses twice would: the scanner must never look back into a
// vector that is gone.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "vesknet.h"

namespace {

constexpr size_t kMaxWords = 64;

struct Argv {
    std::vector<std::string> words;
    std::vector<char *> ptrs;
    void build() {
        ptrs.clear();
        for (auto &w : words) ptrs.push_back(w.data());
        ptrs.push_back(nullptr);
    }
    int argc() const { return static_cast<int>(words.size()); }
};

void scan(Argv &a, const char *letters) {
    a.build();
    vesk_optind = 1;
    // Each call consumes at least one letter or word: bounded by the input.
    size_t limit = 2;
    for (auto &w : a.words) limit += w.size() + 1;
    for (size_t i = 0; i < limit; ++i) {
        int c = vesk_getopt(a.argc(), a.ptrs.data(), letters);
        if (vesk_optind < 0 || vesk_optind > a.argc()) abort();
        if (c == -1) return;
        if (vesk_optarg != nullptr) (void)strlen(vesk_optarg);
    }
    abort();  // the scan never ended
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    std::vector<std::string> words;
    std::string cur;
    for (size_t i = 0; i < size && words.size() < kMaxWords; ++i) {
        if (data[i] == 0) {
            words.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(static_cast<char>(data[i]));
        }
    }
    words.push_back(cur);
    std::string letters = words[0];
    vesk_opterr = 0;
    {
        auto first = std::make_unique<Argv>();
        first->words.assign(words.begin() + 1, words.end());
        if (first->words.empty()) first->words.push_back("p");
        scan(*first, letters.c_str());
    }
    // The same words again in a fresh vector, shortened by one, after the
    // first one is freed.
    Argv second;
    second.words.assign(words.begin() + 1, words.end());
    if (second.words.size() > 1) second.words.pop_back();
    if (second.words.empty()) second.words.push_back("p");
    scan(second, letters.c_str());
    return 0;
}
