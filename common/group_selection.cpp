#include "common/group_selection.hpp"

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

}  // namespace korvane
