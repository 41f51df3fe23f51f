// Group selection shared by the statevector and density fusion planners: from the operations not
// yet planned, choose a set that fits an active-qubit budget and may run, as one group, ahead of
// the operations it skips. The procedure is generic over the caller's fusability test and the
// qubits of each operation.
//
// Scan: visit the remaining operations in ascending order, at most `window` of them, and stop at
// the first one that is not fusable. Every qubit q keeps the cluster S[q] of accepted operations
// that the last accepted operation on q depends on (its past cone) and the mask M[q] of the qubits
// that cluster touches. An operation is rejected when one of its qubits is outside the register
// or blocked, or when joining the clusters of its qubits would exceed the budget; a rejected
// operation blocks its qubits, so nothing later on them can move ahead of it.
// Greedy choice: repeatedly take the largest cluster (smallest qubit on ties) that still fits the
// budget together with what is chosen, absorb every cluster whose qubits are already covered, and
// remove the taken operations from the other clusters.
//
// Clusters are bitsets over the scan's visit positions (ascending visit order is ascending
// operation order), so unions and copies are a few word operations and selection allocates
// nothing once its scratch has grown.
#pragma once

#include <algorithm>
#include <bit>
#include <cstdint>
#include <stdexcept>
#include <vector>

namespace korvane {

// The qubits of one operation (targets and controls) for an n-qubit register: mask holds those in
// [0, n); in_range is false when any lies outside. n is at most 62, so one 64-bit word suffices.
struct QubitSet {
    std::uint64_t mask = 0;
    bool in_range = true;
};

inline void add_qubits(QubitSet& set, std::int64_t n, const std::vector<std::int64_t>& qubits) {
    for (const std::int64_t q : qubits) {
        if (q < 0 || q >= n)
            set.in_range = false;
        else
            set.mask |= std::uint64_t(1) << q;
    }
}

// The qubits of a mask, ascending: a group's active list.
inline std::vector<std::int64_t> qubit_list(std::uint64_t mask) {
    std::vector<std::int64_t> list;
    list.reserve(static_cast<std::size_t>(std::popcount(mask)));
    for (; mask; mask &= mask - 1) list.push_back(std::countr_zero(mask));
    return list;
}

// The local index of a qubit: its position in the ascending active list, or -1 when absent.
inline std::int32_t local_qubit_index(const std::vector<std::int64_t>& active, std::int64_t qubit) {
    const auto it = std::lower_bound(active.begin(), active.end(), qubit);
    if (it == active.end() || *it != qubit) return -1;
    return static_cast<std::int32_t>(it - active.begin());
}

// The operations not yet planned, as an ordered set over [0, count): ascending iteration and
// constant-time erase.
class RemainingOperations {
  public:
    explicit RemainingOperations(std::int64_t count);
    bool empty() const { return size_ == 0; }
    std::int64_t size() const { return size_; }
    std::int64_t first() const { return head_; }  // -1 when empty
    // The index after index, -1 after the last.
    std::int64_t next(std::int64_t index) const { return next_[static_cast<std::size_t>(index)]; }
    void erase(std::int64_t index);  // index must be present

  private:
    std::vector<std::int64_t> next_;
    std::vector<std::int64_t> prev_;
    std::int64_t head_ = -1;
    std::int64_t size_ = 0;
};

// Runs group selections; keeps its scratch between calls so a planner reuses one instance.
class GroupSelector {
  public:
    // Returns the chosen operation indices in ascending order (possibly none); the reference is
    // valid until the next call. fusable(i) -> bool and qubits(i) -> QubitSet describe operation i.
    template <class Fusable, class Qubits>
    const std::vector<std::int64_t>& select(std::int64_t n, const RemainingOperations& remaining, std::int32_t budget,
                                            std::int64_t window, Fusable&& fusable, Qubits&& qubits);

  private:
    void prepare(std::int64_t n, std::int64_t capacity);
    std::uint64_t* row(std::int64_t q) { return rows_.data() + q * stride_; }
    std::int64_t row_size(std::int64_t q, std::int64_t words) {
        std::int64_t s = 0;
        const std::uint64_t* r = row(q);
        for (std::int64_t w = 0; w < words; ++w) s += std::popcount(r[w]);
        return s;
    }
    void choose_greedily(std::int64_t n, std::int32_t budget, std::int64_t words);

    std::int64_t n_ = 0;
    std::int64_t stride_ = 0;          // words per cluster row
    std::int64_t dirty_words_ = 0;     // leading words of each row written by the last selection
    std::vector<std::uint64_t> rows_;  // S[q]: n rows of stride_ words
    std::vector<std::uint64_t> cone_;  // the cluster of the operation being accepted
    std::vector<std::uint64_t> chosen_bits_;
    std::uint64_t cluster_mask_[64] = {};  // M[q]
    std::int64_t sizes_[64] = {};          // |S[q]| during the greedy choice
    std::vector<std::int64_t> visited_;    // operation index per visit position
    std::vector<std::int64_t> chosen_;
};

template <class Fusable, class Qubits>
const std::vector<std::int64_t>& GroupSelector::select(std::int64_t n, const RemainingOperations& remaining,
                                                       std::int32_t budget, std::int64_t window, Fusable&& fusable,
                                                       Qubits&& qubits) {
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
        if (!fusable(i)) break;
        const QubitSet set = qubits(i);
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
