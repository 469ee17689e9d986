#include "app/LedDecision.h"

#include <cstddef>
#include <numeric>

namespace {

int CountAt(const std::vector<int>& counts, std::size_t p) { return p < counts.size() ? counts[p] : 0; }

// Every position of `counts` holds what it held before.
bool SameDistribution(const std::vector<int>& previous, const std::vector<int>& counts) {
    for (std::size_t p = counts.size(); p-- > 0;)
        if (counts[p] != CountAt(previous, p)) return false;
    return true;
}

}  // namespace

TLedDecision DecideLed(const std::vector<int>& previous, const std::vector<int>& counts, long long total,
                       bool failed, const TLedOptions& options) {
    if (failed) return {2, options.Flash && options.FlashOnError, TLedTarget::Keep};
    if (total == 0) return {0, false, TLedTarget::Off};
    const long long previousTotal = std::accumulate(previous.begin(), previous.end(), 0LL);
    if (total != previousTotal || !SameDistribution(previous, counts)) return {5, options.Flash, TLedTarget::On};
    if (options.LightOnEqual) return {5, options.Flash && options.FlashOnEqual, TLedTarget::On};
    return {5, false, TLedTarget::Off};
}
