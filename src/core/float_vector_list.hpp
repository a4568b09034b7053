// float_vector_list.hpp: a list of float vectors of any lengths, stored end to end.
#pragma once

#include <cstddef>
#include <initializer_list>
#include <span>
#include <utility>
#include <vector>

#include "core/block_cache.hpp"
#include "core/types.hpp"

namespace tarn {

// The values of every vector sit end to end in one array, so a list of n
// short vectors costs one or two allocations rather than n + 1. Where each
// vector starts is not even stored while every vector has as many values as
// the first: vector i then starts at i times that length.
class FloatVectorList {
public:
    using value_type = FloatVector;  // what an item is, when it is taken apart

    FloatVectorList() = default;
    // Implicit, so that nested vectors can stand wherever a list is expected.
    FloatVectorList(
        const std::vector<FloatVector>& vectors) {  // NOLINT(google-explicit-constructor)
        for (const FloatVector& v : vectors) push_back(v);
    }
    FloatVectorList(std::initializer_list<FloatVector> vectors)
        : FloatVectorList(std::vector<FloatVector>(vectors)) {}

    // Room for `vectors` more vectors of `values` values in all.
    void reserve(std::size_t vectors, std::size_t values) {
        values_.reserve(values_.size() + values);
        if (!starts_.empty()) starts_.reserve(starts_.size() + vectors);
    }
    // Room for `vectors` more points in the plane.
    void reserve(std::size_t vectors) { reserve(vectors, 2 * vectors); }
    // Appends a copy of `vector`; should that fail, the list is as it was.
    void push_back(std::span<const double> vector) {
        if (size_ == 0) common_length_ = vector.size();
        if (starts_.empty() && vector.size() != common_length_) list_starts();
        if (starts_.empty()) {
            // Appending doubles at the end either succeeds or changes
            // nothing. Points in the plane, with room for them, skip the
            // general insertion.
            if (vector.size() == 2 && values_.capacity() - values_.size() >= 2) {
                values_.push_back(vector[0]);
                values_.push_back(vector[1]);
            } else {
                values_.insert(values_.end(), vector.begin(), vector.end());
            }
        } else {
            // The end goes in first: should the values fail to fit, taking it
            // back off leaves the list as it was.
            starts_.push_back(values_.size() + vector.size());
            try {
                values_.insert(values_.end(), vector.begin(), vector.end());
            } catch (...) {
                starts_.pop_back();
                throw;
            }
        }
        ++size_;
    }

    std::size_t size() const noexcept { return size_; }
    bool empty() const noexcept { return size_ == 0; }
    std::span<const double> operator[](std::size_t i) const noexcept {
        if (starts_.empty()) return {values_.data() + i * common_length_, common_length_};
        return {values_.data() + starts_[i], values_.data() + starts_[i + 1]};
    }

private:
    // Writes out where each vector starts, before the first vector of
    // another length; the content does not change.
    void list_starts() {
        CachedVector<std::size_t> starts(size_ + 1);
        for (std::size_t i = 0; i <= size_; ++i) starts[i] = i * common_length_;
        starts_ = std::move(starts);
    }

    CachedVector<double> values_;
    std::size_t size_ = 0;
    std::size_t common_length_ = 0;  // of every vector, while starts_ is empty
    // Once listed, vector i is values_[starts_[i]] up to values_[starts_[i + 1]].
    CachedVector<std::size_t> starts_;
};

}  // namespace tarn
