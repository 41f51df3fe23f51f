#include "common/group_selection.hpp"

#include <stdexcept>

namespace korvane {

RemainingOperations::RemainingOperations(std::int64_t count)
    : next_(static_cast<std::size_t>(std::max<std::int64_t>(count, 0))),
      prev_(static_cast<std::size_t>(std::max<std::int64_t>(count, 0))) {
    size_ = static_cast<std::int64_t>(next_.size());
    for (std::int64_t i = 0; i < size_; ++i) {
        next_[i] = i + 1 < size_ ? i + 1 : -1;
        prev_[i] = i - 1;
    }
    head_ = size_ > 0 ? 0 : -1;
}

void RemainingOperations::erase(std::int64_t index) {
    const std::int64_t before = prev_[index];
    const std::int64_t after = next_[index];
    if (before >= 0)
        next_[before] = after;
    else
        head_ = after;
    if (after >= 0) prev_[after] = before;
    --size_;
}

void GroupSelector::prepare(std::int64_t n, std::int64_t capacity) {
    const std::int64_t stride = (capacity + 63) / 64;
    if (n != n_ || stride > stride_) {
        // Rows only grow, so a window larger than the rest of the list does not reallocate per call.
        n_ = n;
        stride_ = std::max(stride, stride_);
        rows_.assign(static_cast<std::size_t>(n_ * stride_), 0);
        cone_.assign(static_cast<std::size_t>(stride_), 0);
        chosen_bits_.assign(static_cast<std::size_t>(stride_), 0);
    } else {
        for (std::int64_t q = 0; q < n_; ++q) std::fill(row(q), row(q) + dirty_words_, 0);
    }
    dirty_words_ = 0;
    std::fill(cluster_mask_, cluster_mask_ + 64, 0);
    visited_.reserve(static_cast<std::size_t>(capacity));
}

void GroupSelector::choose_greedily(std::int64_t n, std::int32_t budget, std::int64_t words) {
    std::fill(chosen_bits_.begin(), chosen_bits_.begin() + words, 0);
    for (std::int64_t q = 0; q < n; ++q) sizes_[q] = row_size(q, words);
    const auto absorb = [&](const std::uint64_t* r) {
        for (std::int64_t w = 0; w < words; ++w) chosen_bits_[w] |= r[w];
    };
    std::uint64_t used = 0;
    std::uint64_t covered = 0;  // H: the qubits of everything chosen
    for (;;) {
        std::int64_t best = -1;
        std::int64_t best_size = 0;
        for (std::int64_t q = 0; q < n; ++q) {
            if ((used >> q) & 1 || sizes_[q] <= best_size) continue;  // strict: the smallest q wins ties
            if (std::popcount(covered | cluster_mask_[q]) > budget) continue;
            best = q;
            best_size = sizes_[q];
        }
        if (best < 0) return;
        const std::uint64_t* taken = row(best);
        absorb(taken);
        covered |= cluster_mask_[best];
        used |= std::uint64_t(1) << best;
        for (std::int64_t v = 0; v < n; ++v) {
            if ((used >> v) & 1) continue;
            if ((covered | cluster_mask_[v]) == covered) {
                absorb(row(v));
                used |= std::uint64_t(1) << v;
            } else if (sizes_[v] > 0) {
                std::uint64_t* r = row(v);
                std::int64_t size = 0;
                for (std::int64_t w = 0; w < words; ++w) {
                    r[w] &= ~taken[w];
                    size += std::popcount(r[w]);
                }
                sizes_[v] = size;
            }
        }
    }
}

const std::vector<std::int64_t>& GroupSelector::select(std::int64_t n, const RemainingOperations& remaining,
                                                       std::int32_t budget, std::int64_t window,
                                                       const std::vector<OperationFacts>& facts) {
    chosen_.clear();
    visited_.clear();
    // Qubit sets are 64-bit masks and the per-qubit state holds 64 entries: every shift by a qubit
    // index below n is defined.
    if (n > 62) throw std::invalid_argument("group selection supports at most 62 qubits");
    const std::int64_t capacity = std::min(window, remaining.size());
    if (capacity <= 0 || n < 1) return chosen_;
    prepare(n, capacity);
    const std::uint64_t all = n >= 64 ? ~std::uint64_t(0) : (std::uint64_t(1) << n) - 1;

    std::uint64_t blocked = 0;
    std::int64_t visits = 0;
    std::int64_t words = 0;  // leading words in use: positions below 64 * words
    for (std::int64_t i = remaining.first(); i >= 0; i = remaining.next(i)) {
        if (++visits > window) break;
        const OperationFacts& fact = facts[static_cast<std::size_t>(i)];
        if (!fact.fusable) break;
        const QubitSet set = fact.qubits;
        bool rejected = !set.in_range || (set.mask & blocked) != 0;
        std::uint64_t bits = 0;
        if (!rejected) {
            for (std::uint64_t m = set.mask; m; m &= m - 1) {
                const int q = std::countr_zero(m);
                bits |= cluster_mask_[q] | (std::uint64_t(1) << q);
            }
            rejected = std::popcount(bits) > budget;
        }
        if (rejected) {
            blocked |= set.mask;
            // Once every qubit is blocked nothing later can be accepted or change any cluster.
            if ((blocked & all) == all) break;
            continue;
        }
        const auto position = static_cast<std::int64_t>(visited_.size());
        visited_.push_back(i);
        words = position / 64 + 1;
        std::fill(cone_.begin(), cone_.begin() + words, 0);
        for (std::uint64_t m = set.mask; m; m &= m - 1) {
            const std::uint64_t* r = row(std::countr_zero(m));
            for (std::int64_t w = 0; w < words; ++w) cone_[static_cast<std::size_t>(w)] |= r[w];
        }
        cone_[static_cast<std::size_t>(position / 64)] |= std::uint64_t(1) << (position % 64);
        for (std::uint64_t m = set.mask; m; m &= m - 1) {
            const int q = std::countr_zero(m);
            std::copy(cone_.begin(), cone_.begin() + words, row(q));
            cluster_mask_[q] = bits;
        }
    }
    dirty_words_ = words;
    if (words == 0) return chosen_;

    choose_greedily(n, budget, words);
    for (std::int64_t w = 0; w < words; ++w)
        for (std::uint64_t b = chosen_bits_[static_cast<std::size_t>(w)]; b; b &= b - 1)
            chosen_.push_back(visited_[static_cast<std::size_t>(w * 64 + std::countr_zero(b))]);
    return chosen_;
}

}  // namespace korvane
